#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CrashReporter/diag/DiagnosticScan.h"
#include "CrashReporter/diag/JXDiagWrapper.h"
#include "ReplacementLibrary.h"

using namespace diag_testing;
using Lines = std::vector<std::string>;

namespace {

const std::string kInitialize = "JXD_InitializeW KZR 0 0";
const std::string kUserInformation = "JXD_SetUserInformationW 0 RIZurarUzedudor Crash";

const Lines kScanWithoutStop = {"attach",           kInitialize,    kUserInformation,
                                "JXD_SetScanLevel 2", "JXD_SetScanOption 0", "JXD_StartScan",
                                "JXD_Finalize",     "detach"};

Lines ScanWithStop()
{
    Lines lines = kScanWithoutStop;
    lines.insert(std::find(lines.begin(), lines.end(), "JXD_Finalize"), "JXD_StopScan");
    return lines;
}

bool LibraryLoaded()
{
    return ::GetModuleHandleW(L"libjxdiag.dll") != nullptr;
}

// The test program finds the replacement library through SetDllDirectory; the folder of the
// test programs itself holds no "libjxdiag.dll".
class JXDiagWrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!IsProcessElevated()) {
            GTEST_SKIP() << "the library is only loaded into an elevated process";
        }
        ASSERT_FALSE(LibraryLoaded());
    }
    void TearDown() override { EXPECT_FALSE(LibraryLoaded()); }
};

TEST_F(JXDiagWrapperTest, ScanCallsEachEntryPointOnceInOrderWithTheFixedArguments)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    library.SetStartScanResult(0);

    EXPECT_TRUE(RunDiagnosticScan());
    EXPECT_FALSE(LibraryLoaded());
    EXPECT_EQ(library.LogLines(), kScanWithoutStop);
}

TEST_F(JXDiagWrapperTest, NonZeroStartScanIsFollowedByOneStopScanBeforeFinalize)
{
    for (int status : {1, 5, -1}) {
        ReplacementLibrary library(Variant::Whole);
        ASSERT_TRUE(library.Ready());
        DllSearchFolder search(library.Folder());
        library.SetStartScanResult(status);

        EXPECT_TRUE(RunDiagnosticScan());
        EXPECT_FALSE(LibraryLoaded());
        EXPECT_EQ(library.LogLines(), ScanWithStop()) << status;
    }
}

TEST_F(JXDiagWrapperTest, UserInformationStatusChangesNothing)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    library.SetUserInformationResult(3);

    EXPECT_TRUE(RunDiagnosticScan());
    EXPECT_EQ(library.LogLines(), kScanWithoutStop);
}

TEST_F(JXDiagWrapperTest, RefusedInitialisationCallsNothingElseAndUnloads)
{
    for (int status : {1, -1}) {
        ReplacementLibrary library(Variant::Whole);
        ASSERT_TRUE(library.Ready());
        DllSearchFolder search(library.Folder());
        library.SetInitializeResult(status);

        {
            JXDiagWrapper wrapper;
            EXPECT_FALSE(wrapper.Start());
            EXPECT_FALSE(wrapper.IsInitialized());
            EXPECT_FALSE(LibraryLoaded());
        }
        EXPECT_FALSE(RunDiagnosticScan());
        EXPECT_EQ(library.LogLines(),
                  (Lines{"attach", kInitialize, "detach", "attach", kInitialize, "detach"}))
            << status;
    }
}

TEST_F(JXDiagWrapperTest, LibraryWithoutStopScanIsUnloadedUnused)
{
    ReplacementLibrary library(Variant::WithoutStopScan);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());

    JXDiagWrapper wrapper;
    EXPECT_FALSE(wrapper.Start());
    EXPECT_FALSE(wrapper.IsInitialized());
    EXPECT_FALSE(LibraryLoaded());
    EXPECT_FALSE(RunDiagnosticScan());
    EXPECT_EQ(library.LogLines(), (Lines{"attach", "detach", "attach", "detach"}));
}

TEST_F(JXDiagWrapperTest, MissingLibrarySkipsTheScanSilently)
{
    ReplacementLibrary library(Variant::None);
    DllSearchFolder search(library.Folder());

    JXDiagWrapper wrapper;
    EXPECT_FALSE(wrapper.Start());
    EXPECT_FALSE(wrapper.IsInitialized());
    wrapper.Stop(0);
    EXPECT_FALSE(RunDiagnosticScan());
    EXPECT_FALSE(library.LogExists());
}

TEST_F(JXDiagWrapperTest, WrapperLifecycleFromConstructedToFinalised)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    library.SetStartScanResult(7);

    JXDiagWrapper wrapper;
    EXPECT_FALSE(wrapper.IsInitialized());
    // Not initialised yet: nothing reaches the library, and nothing breaks.
    wrapper.SetScanLevel(4);
    EXPECT_EQ(wrapper.StartScan(), 0);
    wrapper.StopScan();
    EXPECT_FALSE(library.LogExists());

    ASSERT_TRUE(wrapper.Start());
    EXPECT_TRUE(wrapper.IsInitialized());
    EXPECT_TRUE(LibraryLoaded());
    wrapper.SetUserInformation(11, L"Produkt \u00e9", L"ctx");
    wrapper.SetScanLevel(-3);
    wrapper.SetScanOption(65536);
    EXPECT_EQ(wrapper.StartScan(), 7);
    wrapper.StopScan();

    wrapper.Stop(0);
    EXPECT_FALSE(wrapper.IsInitialized());
    EXPECT_FALSE(LibraryLoaded());

    // Finalised: a second Stop and late calls do nothing.
    wrapper.Stop(0);
    wrapper.SetScanOption(1);
    EXPECT_EQ(wrapper.StartScan(), 0);
    EXPECT_EQ(library.LogLines(),
              (Lines{"attach", kInitialize, "JXD_SetUserInformationW 11 Produkt \xc3\xa9 ctx",
                     "JXD_SetScanLevel -3", "JXD_SetScanOption 65536", "JXD_StartScan",
                     "JXD_StopScan", "JXD_Finalize", "detach"}));
}

TEST_F(JXDiagWrapperTest, SecondStartDoesNotInitialiseAgain)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());

    JXDiagWrapper wrapper;
    ASSERT_TRUE(wrapper.Start());
    EXPECT_TRUE(wrapper.Start());
    wrapper.Stop(0);
    EXPECT_FALSE(LibraryLoaded());
    EXPECT_EQ(library.LogLines(), (Lines{"attach", kInitialize, "JXD_Finalize", "detach"}));
}

TEST_F(JXDiagWrapperTest, DestroyingAStartedWrapperFinalisesBeforeUnloading)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    {
        JXDiagWrapper wrapper;
        ASSERT_TRUE(wrapper.Start());
    }
    EXPECT_FALSE(LibraryLoaded());
    EXPECT_EQ(library.LogLines(), (Lines{"attach", kInitialize, "JXD_Finalize", "detach"}));
}

// Two crash reports at once: the library must see one whole scan, then the other.
TEST_F(JXDiagWrapperTest, ConcurrentScansRunOneAfterTheOther)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    library.SetStartScanResult(1);
    library.SetCallDelay(40);

    std::atomic<int> waiting{2};
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            --waiting;
            while (waiting > 0) {
                std::this_thread::yield();
            }
            if (RunDiagnosticScan()) {
                ++started;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(started, 2);
    Lines expected = ScanWithStop();
    Lines once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(library.LogLines(), expected);
}

// The counterpart that shows the replacement library does notice two threads at once.
TEST_F(JXDiagWrapperTest, UnserialisedWrappersOnTwoThreadsAreNoticed)
{
    ReplacementLibrary library(Variant::Whole);
    ASSERT_TRUE(library.Ready());
    DllSearchFolder search(library.Folder());
    library.SetCallDelay(150);

    std::atomic<int> waiting{2};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            --waiting;
            while (waiting > 0) {
                std::this_thread::yield();
            }
            JXDiagWrapper wrapper;
            if (wrapper.Start()) {
                wrapper.SetScanLevel(2);
                wrapper.Stop(0);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Lines lines = library.LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "overlap"), lines.end());
}

}  // namespace
