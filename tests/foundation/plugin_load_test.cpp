// The plug-in as a host meets it: the built kel36.so opened with dlopen
// (RTLD_NOW, so every framework and JSON symbol must bind at load), its one
// entry point, its provider and the devices it makes. This executable links no
// driver code of its own.

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "framework/provider.h"
#include "framework/zrn_vdevice.h"
#include "plugin/get_providers.h"
#include "support/built_plugin.h"
#include "tests/foundation/host_fixture.h"

namespace {

std::string realPath(const char* path)
{
    char resolved[PATH_MAX];
    return realpath(path, resolved) ? std::string(resolved) : std::string(path);
}

// The file whose code or data holds the address.
std::string moduleOf(const void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return "?";
    return realPath(info.dli_fname);
}

const void* vtableOf(const void* object)
{
    return *static_cast<const void* const*>(object);
}

class LoadedPlugin : public foundation::HostCallTest {
protected:
    void SetUp() override
    {
        HostCallTest::SetUp();
        handle_ = dlopen(testsupport::builtPluginPath(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        get_providers_ = reinterpret_cast<GetProvidersFn>(dlsym(handle_, "get_providers"));
        ASSERT_NE(get_providers_, nullptr) << dlerror();
    }
    void TearDown() override
    {
        if (handle_)
            dlclose(handle_);
        HostCallTest::TearDown();
    }

    ZRNSPDeviceProvider* deviceProvider(const std::shared_ptr<Provider>& provider)
    {
        return dynamic_cast<ZRNSPDeviceProvider*>(provider.get());
    }

    void* handle_ = nullptr;
    GetProvidersFn get_providers_ = nullptr;
};

TEST_F(LoadedPlugin, EachCallListsOneNewKel36Provider)
{
    std::vector<std::shared_ptr<Provider>> first = get_providers_();
    std::vector<std::shared_ptr<Provider>> second = get_providers_();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    ASSERT_TRUE(first[0] && second[0]);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);

    EXPECT_STREQ(typeid(*first[0]).name(), typeid(*second[0]).name());
    EXPECT_STREQ(typeid(*first[0]).name(), "13Kel36Provider");
    EXPECT_NE(deviceProvider(first[0]), nullptr);
    // The provider is the loaded module's, not a copy built into this program.
    EXPECT_EQ(moduleOf(vtableOf(first[0].get())), realPath(testsupport::builtPluginPath()));
}

TEST_F(LoadedPlugin, EachCreateMakesAnIndependentKel36)
{
    std::vector<std::shared_ptr<Provider>> providers = get_providers_();
    ZRNSPDeviceProvider* provider = deviceProvider(providers.at(0));
    ASSERT_NE(provider, nullptr);
    std::unique_ptr<ZRNVDevice> a(provider->create());
    std::unique_ptr<ZRNVDevice> b(provider->create());
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    for (ZRNVDevice* device : {a.get(), b.get()}) {
        EXPECT_EQ(device->DeviceType(), "kel36");
        EXPECT_STREQ(typeid(*device).name(), "5Kel36");
        EXPECT_EQ(moduleOf(vtableOf(device)), realPath(testsupport::builtPluginPath()));
    }
    a->data_id_ = 1;
    b->data_id_ = 2;
    a->InitSetting(foundation::json(R"({"appSetting": {"addr": "7"}})"));
    b->InitSetting(foundation::json("{}"));
    a->RefreshStatus();
    b->RefreshStatus();
    const auto sent = log_.callsOf("SendData");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(std::string(sent[0].bytes.begin(), sent[0].bytes.end()), "|99569E");
    EXPECT_EQ(std::string(sent[1].bytes.begin(), sent[1].bytes.end()), "|DF569E");
}

TEST_F(LoadedPlugin, DeviceOutlivesItsProvider)
{
    std::vector<std::shared_ptr<Provider>> providers = get_providers_();
    std::weak_ptr<Provider> watch = providers.at(0);
    std::unique_ptr<ZRNVDevice> device(deviceProvider(providers.at(0))->create());
    providers.clear();
    ASSERT_TRUE(watch.expired());

    device->data_id_ = 5;
    EXPECT_EQ(device->InitSetting(Json::Value()), 1);
    EXPECT_EQ(device->RefreshStatus(), 1);
    std::string cached(100, '\0');
    cached[21] = '\x00', cached[22] = '\x00', cached[23] = '\x48', cached[24] = '\x43';  // ua 200.0
    EXPECT_EQ(device->LoadFromCache(cached), 1);
    EXPECT_EQ(device->Get_Value(0, "ua"), 200.0f);
    EXPECT_EQ(log_.callsOf("SendSP").size(), 1u);
    EXPECT_EQ(log_.callsOf("SaveDeviceHistory").size(), 1u);
}

TEST(PluginLoader, HostLoaderFindsTheProviderAndMakesDevices)
{
    kelhost::Plugin plugin = testsupport::loadBuiltPlugin();
    EXPECT_EQ(plugin.providerCount(), 1u);
    std::shared_ptr<ZRNVDevice> device = plugin.createDevice();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->DeviceType(), "kel36");
    EXPECT_TRUE(device->GetAllChildVDevices().empty());
}

}  // namespace
