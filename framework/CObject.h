#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace vantor {

class CArchive;
class CObject;

// Type information of a class whose objects can be stored in and created from a document file:
// its exact name, its schema number and how to create an empty object of it.
struct CRuntimeClass {
    std::string_view className;
    std::uint16_t schema = 0;
    std::unique_ptr<CObject> (*createObject)() = nullptr;
    const CRuntimeClass* baseClass = nullptr;
    // The newest schema this program reads (and may be asked to write) for the class; files of
    // schema to newestSchema are read, each object learning which from its archive.
    std::uint16_t newestSchema = 0;

    // Makes a creatable class known by its name to archives that load objects. Classes
    // register themselves once, before main.
    static void Register(const CRuntimeClass& runtimeClass);
    // The registered class of exactly this name, or null.
    static const CRuntimeClass* FromName(std::string_view className);

    bool IsDerivedFrom(const CRuntimeClass* other) const {
        for (const CRuntimeClass* c = this; c != nullptr; c = c->baseClass) {
            if (c == other) {
                return true;
            }
        }
        return false;
    }
};

// Root of the framework's object hierarchy: documents hand these to their views with update
// hints, and serialisable classes report their runtime class.
class CObject {
public:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    virtual ~CObject() = default;

    virtual const CRuntimeClass* GetRuntimeClass() const;
    // Writes the object's fields to a storing archive or reads them from a loading one.
    virtual void Serialize(CArchive& archive);

    bool IsKindOf(const CRuntimeClass* runtimeClass) const {
        return GetRuntimeClass()->IsDerivedFrom(runtimeClass);
    }

    static const CRuntimeClass classCObject;
};

}  // namespace vantor
