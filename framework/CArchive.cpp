#include "framework/CArchive.h"

#include <algorithm>
#include <array>
#include <limits>

#include "framework/ArchiveExceptions.h"
#include "framework/CObject.h"
#include "platform/Endian.h"

namespace vantor {

namespace {

constexpr std::uint16_t kNewClassTag = 0xFFFF;
constexpr std::uint16_t kClassTag = 0x8000;
constexpr std::uint16_t kBigObjectTag = 0x7FFF;
constexpr std::uint32_t kBigClassTag = 0x80000000;
constexpr std::uint16_t kWideStringMarker = 0xFFFE;

using Cause = CArchiveException::Cause;

void AppendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// UTF-16 (little-endian) to UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    auto unit = [&](std::size_t i) {
        return LoadLE16(std::span<const std::uint8_t, 2>(bytes.data() + 2 * i, 2));
    };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t first = unit(i);
        if (first >= 0xD800 && first <= 0xDBFF && i + 1 < units) {
            const std::uint32_t second = unit(i + 1);
            if (second >= 0xDC00 && second <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (first >= 0xD800 && first <= 0xDFFF) ? 0xFFFD : first);
    }
    return out;
}

}  // namespace

void CArchive::WriteBytes(std::span<const std::uint8_t> bytes) {
    m_sink->Write(bytes);
}

void CArchive::WriteU16(std::uint16_t value) {
    std::array<std::uint8_t, 2> bytes{};
    StoreLE16(bytes, value);
    WriteBytes(bytes);
}

void CArchive::WriteU32(std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    StoreLE32(bytes, value);
    WriteBytes(bytes);
}

void CArchive::ReadBytes(std::span<std::uint8_t> into) {
    if (m_source->Read(into) < into.size()) {
        throw CArchiveException(Cause::EndOfFile, "the file ends inside an entry");
    }
}

std::uint16_t CArchive::ReadU16() {
    std::array<std::uint8_t, 2> bytes{};
    ReadBytes(bytes);
    return LoadLE16(bytes);
}

std::uint32_t CArchive::ReadU32() {
    std::array<std::uint8_t, 4> bytes{};
    ReadBytes(bytes);
    return LoadLE32(bytes);
}

void CArchive::CheckRemaining(std::uint64_t bytes) {
    if (m_source->Remaining() < bytes) {
        throw CArchiveException(Cause::EndOfFile, "a length reaches past the end of the file");
    }
}

void CArchive::WriteCount(std::uint32_t count) {
    if (count < 0xFFFF) {
        WriteU16(static_cast<std::uint16_t>(count));
    } else {
        WriteU16(0xFFFF);
        WriteU32(count);
    }
}

std::uint32_t CArchive::ReadCount() {
    const std::uint16_t count = ReadU16();
    return count == 0xFFFF ? ReadU32() : count;
}

void CArchive::WriteString(std::string_view text) {
    const std::size_t length = text.size();
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        throw CArchiveException(Cause::BadIndex, "a string longer than 4 GiB cannot be stored");
    }
    if (length < 0xFF) {
        const auto byte = static_cast<std::uint8_t>(length);
        WriteBytes({&byte, 1});
    } else {
        const std::uint8_t marker = 0xFF;
        WriteBytes({&marker, 1});
        if (length < kWideStringMarker) {
            WriteU16(static_cast<std::uint16_t>(length));
        } else {
            WriteU16(0xFFFF);
            WriteU32(static_cast<std::uint32_t>(length));
        }
    }
    WriteBytes({reinterpret_cast<const std::uint8_t*>(text.data()), length});
}

std::uint32_t CArchive::ReadStringLength(bool& wide) {
    wide = false;
    std::uint8_t byte = 0;
    ReadBytes({&byte, 1});
    if (byte < 0xFF) {
        return byte;
    }
    std::uint16_t word = ReadU16();
    if (word == kWideStringMarker) {
        wide = true;
        ReadBytes({&byte, 1});
        if (byte < 0xFF) {
            return byte;
        }
        word = ReadU16();
    }
    return word < 0xFFFF ? word : ReadU32();
}

std::string CArchive::ReadString() {
    std::string text;
    ReadString([&text](std::size_t length) {
        text.resize(length);
        return text.data();
    });
    return text;
}

void CArchive::ReadString(const std::function<char*(std::size_t)>& reserve) {
    bool wide = false;
    const std::uint32_t length = ReadStringLength(wide);
    if (wide) {
        CheckRemaining(std::uint64_t{length} * 2);
        std::vector<std::uint8_t> units(std::size_t{length} * 2);
        ReadBytes(units);
        const std::string converted = Utf16ToUtf8(units);
        std::copy(converted.begin(), converted.end(), reserve(converted.size()));
        return;
    }
    CheckRemaining(length);
    char* into = reserve(length);
    ReadBytes({reinterpret_cast<std::uint8_t*>(into), length});
}

void CArchive::WriteFixedText(std::string_view text, std::size_t size) {
    if (size == 0) {
        return;
    }
    text = text.substr(0, std::min(text.find('\0'), size - 1));
    WriteBytes({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    static constexpr std::array<std::uint8_t, 256> kZeros{};
    for (std::size_t left = size - text.size(); left > 0;) {
        const std::size_t count = std::min(left, kZeros.size());
        WriteBytes({kZeros.data(), count});
        left -= count;
    }
}

std::string CArchive::ReadFixedText(std::size_t size) {
    CheckRemaining(size);
    std::string text(size, '\0');
    ReadBytes({reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
    text.resize(std::min(text.find('\0'), text.size()));
    return text;
}

void CArchive::SetStoreSchema(const CRuntimeClass& runtimeClass, std::uint16_t schema) {
    if (schema < runtimeClass.schema ||
        schema > std::max(runtimeClass.schema, runtimeClass.newestSchema)) {
        throw CArchiveException(Cause::BadSchema, "class '" + std::string(runtimeClass.className) +
                                                      "' has no schema " + std::to_string(schema));
    }
    m_storeSchemas[&runtimeClass] = schema;
}

std::uint16_t CArchive::WriteClassTag(const CRuntimeClass& runtimeClass) {
    const auto chosen = m_storeSchemas.find(&runtimeClass);
    const std::uint16_t schema =
        chosen != m_storeSchemas.end() ? chosen->second : runtimeClass.schema;
    const auto stored = m_storedClasses.find(&runtimeClass);
    if (stored != m_storedClasses.end()) {
        const std::uint32_t index = stored->second;
        if (index < kBigObjectTag) {
            WriteU16(static_cast<std::uint16_t>(kClassTag | index));
        } else {
            WriteU16(kBigObjectTag);
            WriteU32(kBigClassTag | index);
        }
        return schema;
    }
    const std::string_view name = runtimeClass.className;
    WriteU16(kNewClassTag);
    WriteU16(schema);
    WriteU16(static_cast<std::uint16_t>(name.size()));
    WriteBytes({reinterpret_cast<const std::uint8_t*>(name.data()), name.size()});
    m_storedClasses.emplace(&runtimeClass, m_nextIndex++);
    return schema;
}

const CArchive::LoadedClass& CArchive::ReadClassTag() {
    const std::uint16_t tag = ReadU16();
    if (tag == kNewClassTag) {
        const std::uint16_t schema = ReadU16();
        const std::uint16_t nameLength = ReadU16();
        CheckRemaining(nameLength);
        std::string name(nameLength, '\0');
        ReadBytes({reinterpret_cast<std::uint8_t*>(name.data()), name.size()});
        const CRuntimeClass* runtimeClass = CRuntimeClass::FromName(name);
        if (runtimeClass == nullptr) {
            throw CArchiveException(Cause::BadClass, "unknown class '" + name + "'");
        }
        if (schema < runtimeClass->schema ||
            schema > std::max(runtimeClass->schema, runtimeClass->newestSchema)) {
            throw CArchiveException(Cause::BadSchema,
                                    "class '" + name + "' with schema " + std::to_string(schema));
        }
        return m_loadedClasses.emplace(m_nextIndex++, LoadedClass{runtimeClass, schema})
            .first->second;
    }
    std::uint32_t classIndex = 0;
    if (tag == kBigObjectTag) {
        const std::uint32_t bigTag = ReadU32();
        if ((bigTag & kBigClassTag) == 0) {
            throw CArchiveException(Cause::BadIndex, "a reference to an earlier object");
        }
        classIndex = bigTag & ~kBigClassTag;
    } else if ((tag & kClassTag) != 0) {
        classIndex = tag & 0x7FFFu;
    } else {
        throw CArchiveException(Cause::BadIndex,
                                tag == 0 ? "an absent object" : "a reference to an earlier object");
    }
    const auto loaded = m_loadedClasses.find(classIndex);
    if (loaded == m_loadedClasses.end()) {
        throw CArchiveException(Cause::BadIndex,
                                "class index " + std::to_string(classIndex) + " is not defined");
    }
    return loaded->second;
}

void CArchive::WriteObject(CObject& object) {
    m_objectSchema = WriteClassTag(*object.GetRuntimeClass());
    ++m_nextIndex;
    object.Serialize(*this);
}

std::unique_ptr<CObject> CArchive::ReadObject(const CRuntimeClass& base) {
    const LoadedClass& loaded = ReadClassTag();
    const CRuntimeClass& runtimeClass = *loaded.runtimeClass;
    if (!runtimeClass.IsDerivedFrom(&base)) {
        throw CArchiveException(Cause::BadClass, "class '" + std::string(runtimeClass.className) +
                                                     "' is not a " + std::string(base.className));
    }
    std::unique_ptr<CObject> object =
        runtimeClass.createObject != nullptr ? runtimeClass.createObject() : nullptr;
    if (object == nullptr) {
        throw CArchiveException(Cause::BadClass, "class '" + std::string(runtimeClass.className) +
                                                     "' cannot be created");
    }
    ++m_nextIndex;
    m_objectSchema = loaded.schema;
    object->Serialize(*this);
    return object;
}

}  // namespace vantor
