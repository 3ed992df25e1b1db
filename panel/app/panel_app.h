// The control panel program: one copy per user session (a second start shows the first copy's
// dialog and ends), a hidden "Q407 Class" window through which other programs bring the panel to
// the front, and the main dialog run modally until the user exits.
#pragma once

#include "platform/framework/application.h"

namespace q407::panel {

inline constexpr wchar_t kSingleInstanceMutex[] = L"ZEL407-088FA840-B10D-11D7-BC36-006067709674";
inline constexpr wchar_t kMessageWindowClass[] = L"Q407 Class";
inline constexpr wchar_t kCompanyKey[] = L"ZEL";
// What a second copy posts to the first one's message window.
inline constexpr WPARAM kShowRequest = 9;

class CZELPanelDlg;

class CZELPanelApp : public framework::Application {
  public:
    explicit CZELPanelApp(HINSTANCE instance) : Application(instance) {}
    // Runs the program with its command line; the process exit code.
    int Run(int argc, const wchar_t* const* argv);

  private:
    // True when another copy runs (it was asked to show itself).
    static bool HandOverToFirstCopy(HANDLE* mutex);
};

}  // namespace q407::panel
