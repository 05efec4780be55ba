#include "framework/CArchive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/ArchiveExceptions.h"
#include "framework/CObject.h"

namespace vantor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Cause = CArchiveException::Cause;

Bytes Stored(const std::function<void(CArchive&)>& write) {
    MemoryByteSink sink;
    CArchive archive(sink);
    write(archive);
    return sink.bytes();
}

Cause FailureOf(const Bytes& bytes, const std::function<void(CArchive&)>& read) {
    MemoryByteSource source(bytes);
    CArchive archive(source);
    try {
        read(archive);
    } catch (const CArchiveException& failure) {
        return failure.cause();
    }
    ADD_FAILURE() << "reading succeeded";
    return Cause::BadClass;
}

TEST(CArchiveTest, CountsUseSixteenBitsBelowFFFF) {
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteCount(0); }), (Bytes{0, 0}));
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteCount(65534); }), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteCount(65535); }),
              (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));
    for (std::uint32_t count : {0u, 1u, 65534u, 65535u, 70000u, 0xFFFFFFFFu}) {
        const Bytes bytes = Stored([&](CArchive& a) { a.WriteCount(count); });
        MemoryByteSource source(bytes);
        CArchive archive(source);
        EXPECT_EQ(archive.ReadCount(), count);
    }
}

TEST(CArchiveTest, StringPrefixesGrowWithTheLength) {
    auto prefixOf = [](std::size_t length) {
        Bytes bytes = Stored([&](CArchive& a) { a.WriteString(std::string(length, 'x')); });
        bytes.resize(std::min<std::size_t>(bytes.size(), 7));
        return bytes;
    };
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteString(""); }), Bytes{0});
    EXPECT_EQ(prefixOf(254), (Bytes{254, 'x', 'x', 'x', 'x', 'x', 'x'}));
    EXPECT_EQ(prefixOf(255), (Bytes{0xFF, 0xFF, 0x00, 'x', 'x', 'x', 'x'}));
    EXPECT_EQ(prefixOf(65533), (Bytes{0xFF, 0xFD, 0xFF, 'x', 'x', 'x', 'x'}));
    EXPECT_EQ(prefixOf(65534), (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}));

    for (std::size_t length : {0u, 1u, 254u, 255u, 65533u, 65534u, 65535u, 100000u}) {
        std::string text(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            text[i] = static_cast<char>(i * 7);
        }
        const Bytes bytes = Stored([&](CArchive& a) { a.WriteString(text); });
        MemoryByteSource source(bytes);
        CArchive archive(source);
        EXPECT_EQ(archive.ReadString(), text) << length;
        EXPECT_EQ(source.Remaining(), 0u);
    }
}

TEST(CArchiveTest, SixteenBitStringsAreReadAsUtf8) {
    // "A", U+00E9, U+20AC, the pair for U+1F600, a high surrogate without its pair, "z".
    const Bytes bytes = {0xFF, 0xFE, 0xFF, 7,    'A',  0,    0xE9, 0, 0xAC, 0x20,
                         0x3D, 0xD8, 0x00, 0xDE, 0x3D, 0xD8, 'z',  0, 0};
    MemoryByteSource source(bytes);
    CArchive archive(source);
    EXPECT_EQ(archive.ReadString(), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDz");
    EXPECT_EQ(archive.ReadString(), "") << "the byte after is a string of its own";
    EXPECT_EQ(source.Remaining(), 0u);
}

TEST(CArchiveTest, FixedTextsArePaddedAndReadUpToTheFirstZero) {
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteFixedText("abc", 5); }),
              (Bytes{'a', 'b', 'c', 0, 0}));
    EXPECT_EQ(Stored([](CArchive& a) { a.WriteFixedText("abcdef", 4); }),
              (Bytes{'a', 'b', 'c', 0}));
    const Bytes bytes = {'h', 'i', 0, 'x', 'y', 'o', 'k'};
    MemoryByteSource source(bytes);
    CArchive archive(source);
    EXPECT_EQ(archive.ReadFixedText(5), "hi");
    EXPECT_EQ(archive.ReadFixedText(2), "ok");
}

TEST(CArchiveTest, LengthsBeyondTheBytesFailBeforeAnythingIsAllocated) {
    // A string that claims 4 GiB, and one that claims 2 billion 16-bit characters.
    EXPECT_EQ(FailureOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'x'},
                        [](CArchive& a) { a.ReadString(); }),
              Cause::EndOfFile);
    EXPECT_EQ(FailureOf({0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
                        [](CArchive& a) { a.ReadString(); }),
              Cause::EndOfFile);
    EXPECT_EQ(FailureOf({3, 'a', 'b'}, [](CArchive& a) { a.ReadString(); }), Cause::EndOfFile);
    EXPECT_EQ(FailureOf({1}, [](CArchive& a) { a.ReadU16(); }), Cause::EndOfFile);
    EXPECT_EQ(FailureOf({'a', 'b'}, [](CArchive& a) { a.ReadFixedText(30); }), Cause::EndOfFile);
}

// A small serialisable class of the test's own, to see that the archive serves any class.
class Point : public CObject {
public:
    static const CRuntimeClass classPoint;
    const CRuntimeClass* GetRuntimeClass() const override { return &classPoint; }
    void Serialize(CArchive& archive) override {
        if (archive.IsStoring()) {
            archive.WriteU32(x);
        } else {
            x = archive.ReadU32();
        }
    }
    std::uint32_t x = 0;
};
const CRuntimeClass Point::classPoint{
    "Point", 0, [] { return std::unique_ptr<CObject>(std::make_unique<Point>()); },
    &CObject::classCObject};
const bool kPointRegistered = (CRuntimeClass::Register(Point::classPoint), true);

class Other : public Point {
public:
    static const CRuntimeClass classOther;
    const CRuntimeClass* GetRuntimeClass() const override { return &classOther; }
};
const CRuntimeClass Other::classOther{
    "Other", 3, [] { return std::unique_ptr<CObject>(std::make_unique<Other>()); },
    &Point::classPoint};
const bool kOtherRegistered = (CRuntimeClass::Register(Other::classOther), true);

TEST(CArchiveTest, ClassTagsShareOneCounterWithObjects) {
    Point a;
    Other b;
    Point c;
    a.x = 1;
    b.x = 2;
    c.x = 3;
    const Bytes bytes = Stored([&](CArchive& archive) {
        archive.WriteObject(a);
        archive.WriteObject(b);
        archive.WriteObject(c);
        archive.WriteObject(b);
    });
    // Point = 1, a = 2, Other = 3, b = 4, c = 5 (tag 0x8001), b again (tag 0x8003).
    const Bytes expected = {0xFF, 0xFF, 0,    0,    5, 0, 'P', 'o', 'i',  'n',  't', 1,   0, 0,
                            0,    0xFF, 0xFF, 3,    0, 5, 0,   'O', 't',  'h',  'e', 'r', 2, 0,
                            0,    0,    0x01, 0x80, 3, 0, 0,   0,   0x03, 0x80, 2,   0,   0, 0};
    EXPECT_EQ(bytes, expected);

    MemoryByteSource source(bytes);
    CArchive archive(source);
    std::vector<std::uint32_t> xs;
    std::vector<std::string_view> classes;
    for (int i = 0; i < 4; ++i) {
        auto object = archive.ReadObject(Point::classPoint);
        classes.push_back(object->GetRuntimeClass()->className);
        xs.push_back(static_cast<Point&>(*object).x);
    }
    EXPECT_THAT(xs, testing::ElementsAre(1, 2, 3, 2));
    EXPECT_THAT(classes, testing::ElementsAre("Point", "Other", "Point", "Other"));
}

TEST(CArchiveTest, ClassIndexesFrom7FFFUseTheLongTag) {
    std::vector<Point> points(40000);
    Other other;
    const Bytes bytes = Stored([&](CArchive& archive) {
        for (Point& point : points) {
            archive.WriteObject(point);
        }
        archive.WriteObject(other);  // class index 1 + 40000 * 1 + 1 = 40002
        archive.WriteObject(other);
    });
    const Bytes tail = Bytes(bytes.end() - 10, bytes.end());
    EXPECT_EQ(tail, (Bytes{0xFF, 0x7F, 0x42, 0x9C, 0x00, 0x80, 0, 0, 0, 0}));

    MemoryByteSource source(bytes);
    CArchive archive(source);
    for (int i = 0; i < 40002; ++i) {
        archive.ReadObject(Point::classPoint);
    }
    EXPECT_EQ(source.Remaining(), 0u);
}

TEST(CArchiveTest, TagsForUnknownOrUnwrittenThingsAreRejected) {
    auto readObject = [](CArchive& a) { a.ReadObject(Point::classPoint); };
    auto newClass = [](std::string_view name, std::uint16_t schema) {
        Bytes bytes = {0xFF,
                       0xFF,
                       static_cast<std::uint8_t>(schema),
                       0,
                       static_cast<std::uint8_t>(name.size()),
                       0};
        for (const char c : name) {
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
        for (const int field : {7, 0, 0, 0}) {  // the object's x
            bytes.push_back(static_cast<std::uint8_t>(field));
        }
        return bytes;
    };
    EXPECT_EQ(FailureOf(newClass("Pointless", 0), readObject), Cause::BadClass);
    EXPECT_EQ(FailureOf(newClass("point", 0), readObject), Cause::BadClass) << "exact name";
    EXPECT_EQ(FailureOf(newClass("CObject", 0xFFFF), readObject), Cause::BadClass);
    EXPECT_EQ(FailureOf(newClass("Point", 1), readObject), Cause::BadSchema);
    EXPECT_EQ(FailureOf({0x01, 0x80, 7, 0, 0, 0}, readObject), Cause::BadIndex);
    EXPECT_EQ(FailureOf({0x00, 0x00}, readObject), Cause::BadIndex) << "no object";
    Bytes reference = newClass("Point", 0);
    reference.insert(reference.end(), {0x02, 0x00});  // the object written before
    EXPECT_EQ(FailureOf(reference,
                        [](CArchive& a) {
                            a.ReadObject(Point::classPoint);
                            a.ReadObject(Point::classPoint);
                        }),
              Cause::BadIndex);
    Bytes objectAsClass = newClass("Point", 0);
    objectAsClass.insert(objectAsClass.end(), {0x02, 0x80, 1, 0, 0, 0});
    EXPECT_EQ(FailureOf(objectAsClass,
                        [](CArchive& a) {
                            a.ReadObject(Point::classPoint);
                            a.ReadObject(Point::classPoint);
                        }),
              Cause::BadIndex)
        << "index 2 is an object, not a class";
    EXPECT_EQ(FailureOf({0xFF, 0x7F, 2, 0, 0, 0}, readObject), Cause::BadIndex);
    // A class that is not of the kind asked for.
    EXPECT_EQ(FailureOf(newClass("Point", 0), [](CArchive& a) { a.ReadObject(Other::classOther); }),
              Cause::BadClass);
}

}  // namespace
}  // namespace vantor
