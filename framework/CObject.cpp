#include "framework/CObject.h"

#include <vector>

namespace vantor {

namespace {

std::vector<const CRuntimeClass*>& RegisteredClasses() {
    static std::vector<const CRuntimeClass*> classes;
    return classes;
}

}  // namespace

void CRuntimeClass::Register(const CRuntimeClass& runtimeClass) {
    RegisteredClasses().push_back(&runtimeClass);
}

const CRuntimeClass* CRuntimeClass::FromName(std::string_view className) {
    for (const CRuntimeClass* registered : RegisteredClasses()) {
        if (registered->className == className) {
            return registered;
        }
    }
    return nullptr;
}

const CRuntimeClass CObject::classCObject{"CObject", 0xFFFF, nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const {
    return &classCObject;
}

void CObject::Serialize(CArchive& /*archive*/) {}

}  // namespace vantor
