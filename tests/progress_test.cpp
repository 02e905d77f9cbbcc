#include <gmock/gmock.h>

#include "app/progress.h"
#include "test_support.h"
#include "update/process_state.h"

using ::testing::ElementsAre;

class ProgressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetProcessState();
        WindowEvents().clear();
        SelectWindowOps(RecordingWindowOps(true));
    }
    void TearDown() override { SelectWindowOps(nullptr); }
};

TEST_F(ProgressTest, FirstValueAlwaysShowsAndRepeatsDoNothing) {
    EXPECT_EQ(ShowProgress(0), 0);
    EXPECT_THAT(WindowEvents(), ElementsAre("title  QVM7316 - 0%", "bar 0", "colour 0x000000"));
    WindowEvents().clear();
    EXPECT_EQ(ShowProgress(0), 0);
    EXPECT_TRUE(WindowEvents().empty());
    ShowProgress(42);
    EXPECT_THAT(WindowEvents(), ElementsAre("title  QVM7316 - 42%", "bar 42", "colour 0x000000"));
}

TEST_F(ProgressTest, ClampsToZeroAndHundred) {
    ShowProgress(-5);
    EXPECT_EQ(g_lastShownValue, 0);
    EXPECT_EQ(WindowEvents().front(), "title  QVM7316 - 0%");
    WindowEvents().clear();
    ShowProgress(150);
    EXPECT_EQ(g_lastShownValue, 100);
    WindowEvents().clear();
    ShowProgress(100);  // the same clamped value: nothing
    ShowProgress(101);
    EXPECT_TRUE(WindowEvents().empty());
}

TEST_F(ProgressTest, HundredShowsSuccessOnceInGreen) {
    ShowProgress(99);
    WindowEvents().clear();
    ShowProgress(100);
    EXPECT_THAT(WindowEvents(),
                ElementsAre("font 303 success", "font 307 success", "text 303 Programming finished successfully!",
                            "text 307  ", "title  QVM7316 - DONE!", "bar 100", "colour 0x00C800"));
    WindowEvents().clear();
    ShowProgress(100);
    EXPECT_TRUE(WindowEvents().empty());
}

TEST_F(ProgressTest, ValueBeforeTheBarExistsIsRememberedButNotShown) {
    SelectWindowOps(RecordingWindowOps(false));
    EXPECT_EQ(ShowProgress(7), -1);
    EXPECT_EQ(g_lastShownValue, 7);
    EXPECT_TRUE(WindowEvents().empty());
    SelectWindowOps(RecordingWindowOps(true));
    EXPECT_EQ(ShowProgress(7), 0);  // already accepted
    EXPECT_TRUE(WindowEvents().empty());
}

TEST_F(ProgressTest, TickMovesTheStepCounterByOne) {
    TickProgress();
    TickProgress();
    EXPECT_EQ(g_stepCounter, 2);
    EXPECT_EQ(WindowEvents().back(), "colour 0x000000");
    EXPECT_EQ(g_lastShownValue, 2);
}
