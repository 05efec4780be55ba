#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/ByteStreams.h"

namespace vantor {

class CObject;
struct CRuntimeClass;

// The object archive of document files: little-endian primitives, counted strings, fixed
// texts, and objects written as a class tag followed by the object's own fields.
//
// Class tags: the first object of a class is preceded by 0xFFFF, its schema (u16), the length
// of its name (u16) and the name; later objects of the class by 0x8000 | class index (or, from
// index 0x7FFF on, 0x7FFF and the u32 0x80000000 | index). One counter, from 1, numbers
// classes and objects in the order they are first written. Each object is written once, so
// the tags for a repeated object (an index without the class bit) and for no object (0) are
// never written, and reading one is an error.
//
// Every failure throws: CArchiveException for bytes that are not an archive, CFileException
// from the source or sink.
class CArchive {
public:
    explicit CArchive(ByteSink& sink) : m_sink(&sink) {}
    explicit CArchive(ByteSource& source) : m_source(&source) {}
    CArchive(const CArchive&) = delete;
    CArchive& operator=(const CArchive&) = delete;

    bool IsStoring() const { return m_sink != nullptr; }
    bool IsLoading() const { return m_source != nullptr; }

    void WriteU16(std::uint16_t value);
    void WriteU32(std::uint32_t value);
    void WriteBytes(std::span<const std::uint8_t> bytes);
    std::uint16_t ReadU16();
    std::uint32_t ReadU32();
    void ReadBytes(std::span<std::uint8_t> into);

    // A count of entries: u16, or 0xFFFF and a u32 from 0xFFFF on.
    void WriteCount(std::uint32_t count);
    std::uint32_t ReadCount();

    // A string with its length prefix: one byte below 255; else 0xFF and a u16 below 0xFFFE;
    // else 0xFF, 0xFFFF and a u32. A string of 16-bit characters (0xFF, 0xFFFE, then its own
    // prefix counting characters) is read and converted to UTF-8; it is never written.
    void WriteString(std::string_view text);
    std::string ReadString();
    // Reads a string into the storage that reserve(length) returns for exactly length bytes,
    // so that a large text is copied once, straight into its final place.
    void ReadString(const std::function<char*(std::size_t)>& reserve);

    // A zero-terminated text padded with zeros to exactly size bytes (cut to size - 1).
    void WriteFixedText(std::string_view text, std::size_t size);
    // The bytes up to the first zero of a fixed text of size bytes.
    std::string ReadFixedText(std::size_t size);

    // Stores objects of the class under schema (from its schema to its newest) instead of its
    // schema; before the class's first object is written.
    void SetStoreSchema(const CRuntimeClass& runtimeClass, std::uint16_t schema);
    // The schema of the object being written or read: what its class tag says.
    std::uint16_t ObjectSchema() const { return m_objectSchema; }

    // Writes the object's class tag, then its fields (Serialize).
    void WriteObject(CObject& object);
    // Reads a class tag, creates an empty object of that class, which must derive from base,
    // and reads its fields into it.
    std::unique_ptr<CObject> ReadObject(const CRuntimeClass& base);

private:
    // A loaded class with the schema its tag gave.
    struct LoadedClass {
        const CRuntimeClass* runtimeClass;
        std::uint16_t schema;
    };

    std::uint32_t ReadStringLength(bool& wide);
    // Writes the tag; the schema the class's objects are stored under.
    std::uint16_t WriteClassTag(const CRuntimeClass& runtimeClass);
    const LoadedClass& ReadClassTag();
    void CheckRemaining(std::uint64_t bytes);

    ByteSink* m_sink = nullptr;
    ByteSource* m_source = nullptr;
    // One counter numbers classes and objects together, from 1.
    std::uint32_t m_nextIndex = 1;
    std::unordered_map<const CRuntimeClass*, std::uint32_t> m_storedClasses;
    std::unordered_map<const CRuntimeClass*, std::uint16_t> m_storeSchemas;
    std::unordered_map<std::uint32_t, LoadedClass> m_loadedClasses;
    std::uint16_t m_objectSchema = 0;
};

}  // namespace vantor
