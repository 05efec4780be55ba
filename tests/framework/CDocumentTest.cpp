#include "framework/CDocument.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"

namespace vantor {
namespace {

using test::RecordingView;

class Marker : public CObject {};

TEST(CDocumentTest, UpdateAllViewsReachesEveryViewButTheSenderInOrder) {
    CDocument document;
    RecordingView first;
    RecordingView second;
    RecordingView third;
    document.AddView(&first);
    document.AddView(&second);
    document.AddView(&third);
    Marker marker;

    document.UpdateAllViews(&second, 3, &marker);
    document.UpdateAllViews(nullptr, 4, nullptr);

    using Update = RecordingView::Update;
    EXPECT_THAT(first.updates, testing::ElementsAre(Update{3, &marker}, Update{4, nullptr}));
    EXPECT_THAT(second.updates, testing::ElementsAre(Update{4, nullptr}));
    EXPECT_THAT(third.updates, testing::ElementsAre(Update{3, &marker}, Update{4, nullptr}));
}

TEST(CDocumentTest, ViewsAndDocumentForgetEachOtherWhicheverGoesFirst) {
    auto document = std::make_unique<CDocument>();
    RecordingView survivor;
    {
        RecordingView shortLived;
        document->AddView(&shortLived);
        document->AddView(&survivor);
        EXPECT_EQ(shortLived.GetDocument(), document.get());
    }
    // Only the survivor is told (a view left behind would be used after it is gone).
    document->UpdateAllViews(nullptr, 1, nullptr);
    EXPECT_EQ(survivor.updates.size(), 1u);

    document.reset();
    EXPECT_EQ(survivor.GetDocument(), nullptr);
}

TEST(CDocumentTest, AddingAViewToAnotherDocumentMovesIt) {
    CDocument a;
    CDocument b;
    RecordingView view;
    a.AddView(&view);
    b.AddView(&view);
    a.UpdateAllViews(nullptr, 1, nullptr);
    EXPECT_TRUE(view.updates.empty()) << "a no longer has the view";
    EXPECT_EQ(view.GetDocument(), &b);
}

TEST(CDocumentTest, NewDocumentClearsPathAndModifiedFlag) {
    CDocument document;
    document.SetPathName("/tmp/capture.vtr");
    document.SetModifiedFlag();
    ASSERT_TRUE(document.IsModified());

    EXPECT_TRUE(document.OnNewDocument());
    EXPECT_FALSE(document.IsModified());
    EXPECT_EQ(document.GetPathName(), "");
}

TEST(CDocumentTest, InitialUpdateReachesEveryView) {
    CDocument document;
    RecordingView first;
    RecordingView second;
    document.AddView(&first);
    document.AddView(&second);
    document.SendInitialUpdate();
    EXPECT_EQ(first.updates.size(), 1u);
    EXPECT_EQ(second.updates.size(), 1u);
}

}  // namespace
}  // namespace vantor
