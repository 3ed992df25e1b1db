// A dialog from a template resource, modal or modeless, whose messages reach a virtual handler
// of its object. Owner-drawn controls with objects of their own draw themselves (WM_DRAWITEM is
// reflected to them).
#pragma once

#include "platform/framework/window.h"

namespace q407::framework {

class Dialog : public Window {
  public:
    explicit Dialog(int templateId) : templateId_(templateId) {}

    // Runs the dialog until EndDialog; its result, or -1 when it could not be created.
    INT_PTR DoModal(HINSTANCE instance, HWND parent);
    // A modeless dialog; false when it could not be created.
    bool CreateModeless(HINSTANCE instance, HWND parent);
    // Ends a modal dialog with this result (a modeless one is destroyed).
    void EndDialog(INT_PTR result);
    bool IsModal() const { return modal_; }
    int TemplateId() const { return templateId_; }

  protected:
    // WM_INITDIALOG; return false when the focus was set here.
    virtual bool OnInitDialog() { return true; }
    // WM_COMMAND from a control or the menu; true when handled. IDOK and IDCANCEL end a modal
    // dialog unless handled here.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    // Messages other than the two above; for most messages, *result goes to DWLP_MSGRESULT.
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    static INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    INT_PTR DispatchDialog(UINT message, WPARAM wParam, LPARAM lParam);

    int templateId_;
    bool modal_ = false;
};

}  // namespace q407::framework
