#include "framework/RecentFileList.h"

#include <gtest/gtest.h>

namespace vantor {
namespace {

TEST(RecentFileListTest, NewestFirstWithoutRepeatsAndAtMostItsSize) {
    RecentFileList list(4);
    for (const char* path : {"/a.vtr", "/b.vtr", "/c.vtr", "/a.vtr", "/d.vtr", "/e.vtr", ""}) {
        list.Add(path);
    }
    EXPECT_EQ(list.entries(), (std::vector<std::string>{"/e.vtr", "/d.vtr", "/a.vtr", "/c.vtr"}));
    list.Remove(1);
    list.Remove(7);
    EXPECT_EQ(list.entries(), (std::vector<std::string>{"/e.vtr", "/a.vtr", "/c.vtr"}));
}

TEST(RecentFileListTest, MenuTextsKeepTheNameAndAsMuchOfThePathAsFits) {
    struct Case {
        std::string_view path;
        std::string_view shown;
    };
    const Case cases[] = {
        {"/home/ann/capture.vtr", "/home/ann/capture.vtr"},
        {"/home/ann/projects/shop/captures/login.vtr", "/home/.../captures/login.vtr"},
        {"/home/ann/projects/shop/captures/a-rather-long-name.vtr", "a-rather-long-name.vtr"},
        {"/srv/x/y/z/w/v/u/t/s/r/q/p/o/n.vtr", "/srv/.../v/u/t/s/r/q/p/o/n.vtr"},
        {"relative/folder/deeper/still/file.vtr", "relative/.../still/file.vtr"},
        {"a-name-much-longer-than-thirty-characters.vtr",
         "a-name-much-longer-than-thirty-characters.vtr"},
        {"/a-folder-longer-than-thirty-characters/x.vtr", "x.vtr"},
    };
    for (const Case& c : cases) {
        const std::string shown = RecentFileList::AbbreviatePath(c.path, 30);
        EXPECT_EQ(shown, c.shown) << c.path;
        if (c.path.size() > 30 && shown.size() < c.path.size()) {
            EXPECT_LE(shown.size(), 30U) << c.path;
        }
    }
}

}  // namespace
}  // namespace vantor
