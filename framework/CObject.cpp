#include "framework/CObject.h"

namespace vantor {

const CRuntimeClass CObject::classCObject{"CObject", 0xFFFF, nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const {
    return &classCObject;
}

}  // namespace vantor
