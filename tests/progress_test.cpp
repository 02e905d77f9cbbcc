#include "update/progress.h"

#include <gmock/gmock.h>

#include "test_support.h"
#include "update/process_state.h"

using ::testing::ElementsAre;

class ProgressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProcessState();
        DisplayEvents().clear();
        SelectDisplay(RecordingDisplay(true));
    }
    void TearDown() override { SelectDisplay(nullptr); }
};

TEST_F(ProgressTest, FirstValueAlwaysShowsAndRepeatsDoNothing) {
    EXPECT_EQ(ShowProgress(0), 0);
    EXPECT_THAT(DisplayEvents(), ElementsAre("progress 0  QVM7316 - 0%"));
    DisplayEvents().clear();
    EXPECT_EQ(ShowProgress(0), 0);
    EXPECT_TRUE(DisplayEvents().empty());
    ShowProgress(42);
    EXPECT_THAT(DisplayEvents(), ElementsAre("progress 42  QVM7316 - 42%"));
}

TEST_F(ProgressTest, ClampsToZeroAndHundredAndShowsDoneOnce) {
    ShowProgress(-5);
    ShowProgress(99);
    ShowProgress(150);
    ShowProgress(100);  // the same clamped value: nothing
    ShowProgress(101);
    EXPECT_THAT(DisplayEvents(),
                ElementsAre("progress 0  QVM7316 - 0%", "progress 99  QVM7316 - 99%", "progress 100  QVM7316 - DONE!"));
    EXPECT_EQ(g_lastShownValue, 100);
}

TEST_F(ProgressTest, ValueBeforeTheDisplayIsReadyIsRememberedButNotShown) {
    SelectDisplay(RecordingDisplay(false));
    EXPECT_EQ(ShowProgress(7), -1);
    EXPECT_EQ(g_lastShownValue, 7);
    SelectDisplay(RecordingDisplay(true));
    EXPECT_EQ(ShowProgress(7), 0);  // already accepted
    EXPECT_TRUE(DisplayEvents().empty());
}

TEST_F(ProgressTest, TickMovesTheStepCounterByOne) {
    TickProgress();
    TickProgress();
    EXPECT_EQ(g_stepCounter, 2);
    EXPECT_THAT(DisplayEvents(), ElementsAre("progress 1  QVM7316 - 1%", "progress 2  QVM7316 - 2%"));
}

TEST_F(ProgressTest, TicksStopShowingAt99AndOnlyTheRunShowsDone) {
    for (int i = 0; i < 120; ++i) TickProgress();
    EXPECT_EQ(g_stepCounter, 120);  // the counter itself goes on
    auto shown = ShownValues();
    ASSERT_EQ(shown.size(), 99u);
    EXPECT_EQ(shown.back(), 99);
    for (const auto& event : DisplayEvents()) EXPECT_THAT(event, ::testing::Not(::testing::HasSubstr("DONE!")));
    ShowProgress(100);  // the run's success
    EXPECT_EQ(DisplayEvents().back(), "progress 100  QVM7316 - DONE!");
}
