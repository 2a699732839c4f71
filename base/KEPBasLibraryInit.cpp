#include "base/KEPBasLibraryInit.h"

#include <atomic>

namespace {

// One reference count per library layer.
struct LayerCount {
    std::atomic<int> m_references{0};

    void Initialize(int& counter) {
        if (m_references.fetch_add(1) == 0) {
            ++counter;
        }
    }
    // A finalize without a matching initialize must not drive the count negative.
    void Finalize(int& counter) {
        int current = m_references.load();
        while (current > 0 && !m_references.compare_exchange_weak(current, current - 1)) {
        }
        if (current == 1) {
            --counter;
        }
    }
};

LayerCount s_simContainers;
LayerCount s_xmlParser;
LayerCount s_shared;
LayerCount s_coreUtils;
LayerCount s_genericsLib;
LayerCount s_alloc;

}  // namespace

void KEPSimContainers_initialize(int& counter) {
    s_simContainers.Initialize(counter);
}
void KEPSimContainers_finalize(int& counter) {
    s_simContainers.Finalize(counter);
}
void KEPBasXmlParser_initialize(int& counter) {
    s_xmlParser.Initialize(counter);
}
void KEPBasXmlParser_finalize(int& counter) {
    s_xmlParser.Finalize(counter);
}
void KEPBasShared_initialize(int& counter) {
    s_shared.Initialize(counter);
}
void KEPBasShared_finalize(int& counter) {
    s_shared.Finalize(counter);
}
void KEPBasCoreUtils_initialize(int& counter) {
    s_coreUtils.Initialize(counter);
}
void KEPBasCoreUtils_finalize(int& counter) {
    s_coreUtils.Finalize(counter);
}
void KEPBasGenericsLib_initialize(int& counter) {
    s_genericsLib.Initialize(counter);
}
void KEPBasGenericsLib_finalize(int& counter) {
    s_genericsLib.Finalize(counter);
}
void KEPBasAlloc_initialize(int& counter) {
    s_alloc.Initialize(counter);
}
void KEPBasAlloc_finalize(int& counter) {
    s_alloc.Finalize(counter);
}
