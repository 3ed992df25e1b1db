// Kernel-mode COM as port-class drivers use it: the kernel's IUnknown (QueryInterface answers an
// NTSTATUS), the interface-declaration macros, and the standard unknown (CUnknown) with its
// creation macros and pool operators. CUnknown's members are in standard_unknown.cpp.
#pragma once

#include "platform/kernel/wdk.h"

// --- Interface declaration macros -------------------------------------------------------------
#define STDMETHODCALLTYPE
#define NTAPI
#define PURE = 0
#define THIS_
#define THIS void
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, baseiface) struct iface : public baseiface
#define DECLSPEC_NOVTABLE
#define DECLSPEC_NOTHROW
#ifndef IN
#define IN
#endif
#ifndef OUT
#define OUT
#endif
#ifndef OPTIONAL
#define OPTIONAL
#endif

using BYTE = UCHAR;
using PBYTE = BYTE*;
using WORD = USHORT;
using DWORD = ULONG;
using BOOL = int;
using PWCHAR = WCHAR*;
using PLONGLONG = LONGLONG*;
using PULONGLONG = ULONGLONG*;
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using HRESULT = LONG;

#define SIZEOF_ARRAY(ar) (sizeof(ar) / sizeof((ar)[0]))
// GUIDs used inside static tables are written as their numbers (STATIC_name): a driver runs no
// global constructors, so a table may not copy a GUID object.
#define STATICGUIDOF(guid) STATIC_##guid

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000u, 0x0000u, 0x0000u, {0xC0u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u, 0x46u}};

// --- IUnknown ---------------------------------------------------------------------------------
DECLARE_INTERFACE(IUnknown) {
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID, PVOID*) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};
using PUNKNOWN = IUnknown*;

#define DEFINE_ABSTRACT_UNKNOWN()                                                           \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID * Interface) PURE; \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                                   \
    STDMETHOD_(ULONG, Release)(THIS) PURE;

using PFNCREATEINSTANCE = HRESULT (*)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                      POOL_TYPE PoolType);

// --- The standard unknown ---------------------------------------------------------------------
DECLARE_INTERFACE(INonDelegatingUnknown) {
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(THIS_ REFIID, PVOID*) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;
};
using PNONDELEGATINGUNKNOWN = INonDelegatingUnknown*;

// Reference counting for an object that may be aggregated: without an outer object the outer
// unknown is the object's own non-delegating unknown. The last release deletes the object; its
// memory came from pool (operator new below), so deletion returns it there.
class CUnknown : public INonDelegatingUnknown {
  private:
    // Without an outer object this stands in for it, passing each call to the non-delegating
    // side. (The kit's class reuses the non-delegating table itself, slot for slot; a real
    // IUnknown keeps the bench's type checks satisfied.)
    struct SelfUnknown final : public IUnknown {
        CUnknown* owner = nullptr;
        STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
            return owner->NonDelegatingQueryInterface(iid, object);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return owner->NonDelegatingAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner->NonDelegatingRelease(); }
    };

    LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;
    SelfUnknown m_self;

  public:
    CUnknown(PUNKNOWN pUnknownOuter);
    virtual ~CUnknown();
    PUNKNOWN GetOuterUnknown() { return m_pUnknownOuter; }
    STDMETHODIMP_(ULONG) NonDelegatingAddRef();
    STDMETHODIMP_(ULONG) NonDelegatingRelease();
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID rIID, PVOID* ppVoid);
    // Objects derived from CUnknown live in pool: deleting one frees its pool block. (A kernel
    // image replaces the global operator delete instead; the bench shares its process with
    // ordinary C++ code, so the operator belongs to the class here.)
    static void operator delete(PVOID ptr);
};

// The kit's form, with the overrides marked: the classes that use it mark theirs, and clang asks
// for all or none (the kit's macro escapes that check as a system header).
#define DECLARE_STD_UNKNOWN()                                                                   \
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override; \
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID riid, void** ppv) override {                  \
        return GetOuterUnknown()->QueryInterface(riid, ppv);                                    \
    }                                                                                           \
    STDMETHODIMP_(ULONG) AddRef() override {                                                    \
        return GetOuterUnknown()->AddRef();                                                     \
    }                                                                                           \
    STDMETHODIMP_(ULONG) Release() override {                                                   \
        return GetOuterUnknown()->Release();                                                    \
    }

#define DEFINE_STD_CONSTRUCTOR(Class) \
    Class(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}

#define QICAST(Type) PVOID((Type)(this))
#define QICASTUNKNOWN(Type) PVOID(PUNKNOWN((Type)(this)))

#define STD_CREATE_BODY_WITH_TAG_(Class, ppUnknown, UnknownOuter, PoolType, Tag, Base) \
    Class* p = new (PoolType, Tag) Class(UnknownOuter);                                \
    if (p) {                                                                           \
        *ppUnknown = PUNKNOWN((Base)(p));                                              \
        (*ppUnknown)->AddRef();                                                        \
        return STATUS_SUCCESS;                                                         \
    }                                                                                  \
    return STATUS_INSUFFICIENT_RESOURCES
#define STD_CREATE_BODY_WITH_TAG(Class, ppUnknown, UnknownOuter, PoolType, Tag) \
    STD_CREATE_BODY_WITH_TAG_(Class, ppUnknown, UnknownOuter, PoolType, Tag, PUNKNOWN)
#define STD_CREATE_BODY_(Class, ppUnknown, UnknownOuter, PoolType, Base) \
    STD_CREATE_BODY_WITH_TAG_(Class, ppUnknown, UnknownOuter, PoolType,  \
                              0x72436350u /* 'PcCr' in a pool dump */, Base)
#define STD_CREATE_BODY(Class, ppUnknown, UnknownOuter, PoolType) \
    STD_CREATE_BODY_(Class, ppUnknown, UnknownOuter, PoolType, PUNKNOWN)

// Zeroed pool memory for kernel objects; null when the pool refuses.
inline PVOID operator new(size_t iSize, POOL_TYPE poolType, ULONG tag) noexcept {
    PVOID result = ExAllocatePoolWithTag(poolType, iSize, tag);
    if (result) RtlZeroMemory(result, iSize);
    return result;
}
inline PVOID operator new(size_t iSize, POOL_TYPE poolType) noexcept {
    return operator new(iSize, poolType, 0x774E6350u /* 'PcNw' */);
}

namespace q407::pc {
// A GUID constant from the eleven numbers of its STATIC_ macro.
constexpr GUID MakeGuid(ULONG d1, USHORT d2, USHORT d3, UCHAR a, UCHAR b, UCHAR c, UCHAR d, UCHAR e,
                        UCHAR f, UCHAR g, UCHAR h) {
    return GUID{d1, d2, d3, {a, b, c, d, e, f, g, h}};
}
}  // namespace q407::pc
// Defines NAME from STATIC_NAME.
#define Q407_DEFINE_STATIC_GUID(name) \
    inline constexpr GUID name = ::q407::pc::MakeGuid(STATIC_##name)
