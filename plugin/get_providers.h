#pragma once
// The plug-in's only exported symbol. The host looks it up by this plain name.

#include <memory>
#include <vector>

#include "framework.h"

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Signature of get_providers as the host resolves it with dlsym.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
