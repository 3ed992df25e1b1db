// The library's COM plumbing as hosts meet it: which class and interfaces DllGetClassObject
// serves, the factory's counting and locks, creating the driver with its class identifier or as
// an aggregated inner object, and when the module may be unloaded.
#include <gtest/gtest.h>

#include <cstring>

#include "asio/driver_identity.h"
#include "sim/host/machine.h"
#include "sim/host/trace_log.h"
#include "tools/asio_module.h"

namespace q407::testing {
namespace {

// {D2C8F2A1-0000-4000-8000-00000000ABCD}: some other class.
constexpr CLSID kOtherClass = {0xD2C8F2A1u, 0, 0x4000u, {0x80, 0, 0, 0, 0, 0, 0xAB, 0xCD}};

// An aggregating object: counts what the inner object forwards to it.
struct Outer : IUnknown {
    int queries = 0;
    int addRefs = 0;
    int releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        ++queries;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return ULONG(++releases); }
};

class ComServerTest : public ::testing::Test {
  protected:
    IClassFactory* Factory() {
        void* out = nullptr;
        EXPECT_EQ(module_.GetClassObject(asio::kDriverClassId, IID_IClassFactory, &out), S_OK);
        return static_cast<IClassFactory*>(out);
    }
    sim::Machine machine_;
    tools::AsioModule module_{tools::DefaultAsioModulePath()};
};

TEST_F(ComServerTest, ClassObjectOnlyForTheDriversClassAndFactoryInterfaces) {
    ASSERT_TRUE(module_.Loaded()) << module_.Error();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(module_.GetClassObject(kOtherClass, IID_IClassFactory, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(module_.GetClassObject(asio::kDriverClassId, asio::kDriverClassId, &out),
              E_NOINTERFACE);
    EXPECT_EQ(module_.GetClassObject(asio::kDriverClassId, IID_IClassFactory, nullptr), E_POINTER);
    ASSERT_EQ(module_.GetClassObject(asio::kDriverClassId, IID_IUnknown, &out), S_OK);
    static_cast<IUnknown*>(out)->Release();

    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    // Handed out with one reference.
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    void* again = nullptr;
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &again), S_OK);
    EXPECT_EQ(again, factory);
    EXPECT_EQ(factory->Release(), 1u);
    again = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(asio::kDriverClassId, &again), E_NOINTERFACE);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(nullptr, asio::kDriverClassId, nullptr), E_POINTER);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, DriverCreatedWithItsClassIdentifierOrAsItsOwnUnknown) {
    ASSERT_TRUE(module_.Loaded()) << module_.Error();
    sim::TraceLog::Instance().Clear();
    IClassFactory* factory = Factory();
    void* out = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, asio::kDriverClassId, &out), S_OK);
    auto* driver = static_cast<IASIO*>(out);
    EXPECT_TRUE(sim::TraceLog::Instance().Contains("AsioDirectSound 32 Bit\n"));
    char name[32] = {};
    driver->getDriverName(name);
    EXPECT_STREQ(name, "ZEL Q407LX ASIO DRIVER");
    EXPECT_EQ(driver->getDriverVersion(), 2);
    EXPECT_EQ(module_.CanUnloadNow(), S_FALSE);

    void* unknown = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &unknown), S_OK);
    void* viaUnknown = nullptr;
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->QueryInterface(asio::kDriverClassId, &viaUnknown),
              S_OK);
    ASSERT_NE(viaUnknown, nullptr);
    static_cast<IASIO*>(viaUnknown)->getDriverName(name);
    EXPECT_STREQ(name, "ZEL Q407LX ASIO DRIVER");
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->QueryInterface(IID_IClassFactory, &none),
              E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    // Two references on the second object: the unknown and the IASIO.
    EXPECT_EQ(static_cast<IASIO*>(viaUnknown)->Release(), 1u);
    EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 0u);
    EXPECT_EQ(driver->Release(), 0u);
    factory->Release();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, AggregationOnlyThroughTheInnerUnknownAndForwardsToTheOuter) {
    ASSERT_TRUE(module_.Loaded()) << module_.Error();
    IClassFactory* factory = Factory();
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, asio::kDriverClassId, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);  // no object was made

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &out), S_OK);
    auto* inner = static_cast<IUnknown*>(out);
    void* asioInterface = nullptr;
    ASSERT_EQ(inner->QueryInterface(asio::kDriverClassId, &asioInterface), S_OK);
    // The IASIO's own IUnknown slots reach the outer object.
    auto* driver = static_cast<IASIO*>(asioInterface);
    EXPECT_EQ(outer.addRefs, 1);
    driver->AddRef();
    driver->Release();
    void* other = nullptr;
    driver->QueryInterface(IID_IUnknown, &other);
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(outer.queries, 1);
    EXPECT_EQ(inner->Release(), 0u);
    factory->Release();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

TEST_F(ComServerTest, LockedServerIsNotUnloaded) {
    ASSERT_TRUE(module_.Loaded()) << module_.Error();
    IClassFactory* factory = Factory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(module_.CanUnloadNow(), S_FALSE);
    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace q407::testing
