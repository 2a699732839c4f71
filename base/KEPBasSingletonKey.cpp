// The registry key of a singleton class, from the name the run-time type information gives.
#include <cxxabi.h>

#include <cstdlib>
#include <string>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"

std::string KEPBasSingletonKey(const char* mangledTypeName) {
    if (mangledTypeName == nullptr) {
        return "class ";
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangledTypeName, nullptr, nullptr, &status);
    std::string key = "class ";
    if (status == 0 && demangled != nullptr) {
        key += demangled;
    } else {
        key += mangledTypeName;
    }
    std::free(demangled);
    return key;
}
