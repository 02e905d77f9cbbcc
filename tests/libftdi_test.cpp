// The libftdi1 backend over a stand-in for libftdi1 that drives the
// emulated device: the same update as through the emulator's own table,
// the listing and the open the stages rely on, and the faults of a USB
// link that the backend must report rather than hide.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "device/link.h"
#include "device/selection.h"
#include "libftdi_standin.h"
#include "platform/clock.h"
#include "platform/d2xx_libftdi.h"
#include "platform/d2xx_trace.h"
#include "platform/interrupt.h"
#include "protocol/status.h"
#include "test_support.h"
#include "update/process_state.h"
#include "update/run_update.h"
#include "update/stages.h"

using ::testing::HasSubstr;

namespace {

std::string Without(std::string text, const std::string& linePrefix) {
    for (std::size_t at = text.find(linePrefix); at != std::string::npos; at = text.find(linePrefix, at))
        text.erase(at, text.find('\n', at) + 1 - at);
    return text;
}

std::string Text(const TraceLine& t) { return t.call + " " + t.rest; }

}  // namespace

class LibftdiTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ResetLibftdiStandin();
    }
    // What a test left open goes with the stand-in.
    void TearDown() override {
        DeviceTest::TearDown();
        ResetLibftdiStandin();
    }

    // From here on the program talks to the emulated devices through the
    // libftdi backend over the stand-in, traced afresh into the test's trace.
    void UseLibftdi(const std::vector<UsbId>& extraIds = {}, bool release15 = true) {
        EndTrace();
        std::FILE* trace = std::fopen((Dir() / "trace.txt").c_str(), "w");
        ASSERT_NE(trace, nullptr);
        SelectD2xx(TraceD2xx(LibftdiD2xx(StandinLibftdi(release15), extraIds), trace));
    }

    // A fresh program and emulated device from `scenario`, through either
    // backend; runs `body` and returns the trace lines with their times.
    std::vector<std::string> Run(const std::string& scenario, bool libftdi, const std::function<void()>& body) {
        ResetProcessState();
        ResetLibftdiStandin();
        UseVirtualClock();
        Start(scenario);
        if (libftdi) UseLibftdi();
        body();
        std::vector<std::string> lines;
        for (const auto& t : Trace()) lines.push_back(std::to_string(t.ms) + " " + Text(t));
        return lines;
    }

    // Opens the device, purges, sets the time-outs and asks for the
    // communication check's replies.
    void AskForReplies(std::uint32_t readTimeoutMs) {
        ASSERT_EQ(OpenDevice(), 0);
        ASSERT_EQ(PurgeDevice(), 0);
        ASSERT_EQ(SetDeviceTimeouts(readTimeoutMs, 0), 0);
        SendCommandByte(0xF2);
        SendCommandByte(0xC0);
    }
};

TEST_F(LibftdiTest, WholeUpdateGivesTheDeviceWhatTheEmulatorsOwnTableGives) {
    CopySamples();
    std::string direct, viaLibftdi;
    std::vector<TraceLine> directTrace, libftdiTrace;
    for (bool libftdi : {false, true}) {
        ResetProcessState();
        ResetLibftdiStandin();
        UseVirtualClock();
        // An ideal chip either way: the stand-in's hands over what the
        // device sends at once, and so does the emulator's own without its
        // timer.
        Start("chip_timer = off");
        if (libftdi) UseLibftdi();
        ASSERT_EQ(UpdateWorker(), 0) << Output();
        (libftdi ? viaLibftdi : direct) = Output();
        (libftdi ? libftdiTrace : directTrace) = Trace();
        std::string error;
        ASSERT_TRUE(sim::DumpDevice(Device(), (Dir() / (libftdi ? "libftdi" : "direct")).string(), error)) << error;
    }

    // The device holds the same: all three images, checked by the device.
    for (const char* file : {"processor.bin", "prom.bin", "gatearray.bin", "device.txt"})
        EXPECT_EQ(ReadFile(std::string("libftdi/") + file), ReadFile(std::string("direct/") + file)) << file;
    EXPECT_EQ(ReadFile("libftdi/gatearray.bin"), ReadFile("GEN.dat"));
    EXPECT_THAT(ReadFile("libftdi/device.txt"), HasSubstr("gate_array_verify: matched\n"));
    EXPECT_EQ(Standin().latencyMs, kDefaultLatencyTimerMs);  // as every connection of the update sets it

    // The transmit queue is always empty: the PROM programming looks at it
    // once a page and never waits, so its "TxBytes:" lines are all gone.
    auto queueLooks = [](std::vector<TraceLine>& trace) {
        std::vector<std::string> looks;
        for (const auto& t : trace)
            if (t.call == "FT_GetStatus") looks.push_back(t.rest);
        std::erase_if(trace, [](const TraceLine& t) { return t.call == "FT_GetStatus"; });
        return looks;
    };
    std::vector<std::string> libftdiLooks = queueLooks(libftdiTrace);
    std::string prom = ReadFile("genprom.hex");
    std::size_t pages = static_cast<std::size_t>(std::count(prom.begin(), prom.end(), '\n'));
    EXPECT_EQ(libftdiLooks.size(), pages + 1);
    EXPECT_EQ(libftdiLooks, std::vector<std::string>(libftdiLooks.size(), "= 0 0 0 0"));
    std::vector<std::string> directLooks = queueLooks(directTrace);
    std::size_t waits = directLooks.size() - libftdiLooks.size();
    ASSERT_GT(waits, 0u);
    EXPECT_EQ(Without(direct, "TxBytes: "), viaLibftdi);

    // Every other call is the same, with the same result; each comes as
    // many milliseconds earlier as the PROM programming waited before it.
    ASSERT_EQ(libftdiTrace.size(), directTrace.size());
    std::uint64_t earlier = 0;
    for (std::size_t i = 0; i < directTrace.size(); ++i) {
        ASSERT_EQ(Text(libftdiTrace[i]), Text(directTrace[i])) << "call " << i;
        ASSERT_GE(directTrace[i].ms - libftdiTrace[i].ms, earlier) << "call " << i;
        earlier = directTrace[i].ms - libftdiTrace[i].ms;
    }
    EXPECT_EQ(earlier, waits);
}

TEST_F(LibftdiTest, ListsAndOpensByTheNamesTheStagesUse) {
    const std::string longName(70, 'L');
    Start("devices = \"FT232R USB UART\" [A1], QVM7316 [B2], Custom [C3], Long [D4]");
    Standin().ids["C3"] = {0x1234, 0x5678};
    Standin().descriptions["D4"] = longName;
    UseLibftdi();
    DWORD count = 0;
    char text[FT_DESCRIPTION_SIZE];
    ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 3u);  // not the device of a vendor id nobody gave
    auto byIndex = [&](std::uintptr_t index, DWORD naming) {
        std::memset(text, 'x', sizeof text);
        return FT_ListDevices(reinterpret_cast<void*>(index), text, FT_LIST_BY_INDEX | naming);
    };
    ASSERT_EQ(byIndex(2, FT_OPEN_BY_DESCRIPTION), FT_OK);
    EXPECT_EQ(std::string(text), longName.substr(0, 63));  // cut to fit, and terminated
    EXPECT_EQ(byIndex(3, FT_OPEN_BY_DESCRIPTION), static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));

    // With the extra id, and FTDI's own given again: each device once.
    UseLibftdi({{0x1234, 0x5678}, {0x0403, 0x6001}});
    std::vector<ListedDevice> devices;
    ASSERT_EQ(ListAttachedDevices(devices, true), 0);
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[3].description + " " + devices[3].serial, "Custom C3");  // after FTDI's own
    // The stages' open, by serial number; the chip's timer at its default,
    // as the vendor's open leaves it, until FT_SetLatencyTimer.
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_TRUE(sim::FindDevice("B2")->open);
    EXPECT_EQ(Standin().latencyMs, kLibftdiLatencyMs);
    EXPECT_EQ(Standin().lastOpened->module_detach_mode, AUTO_DETACH_SIO_MODULE);
    Output();
    // A device that is open already is busy: refused, with libftdi1's reason.
    FT_HANDLE second = nullptr;
    EXPECT_NE(FT_OpenEx(const_cast<char*>("B2"), FT_OPEN_BY_SERIAL_NUMBER, &second), static_cast<FT_STATUS>(FT_OK));
    EXPECT_THAT(Output(), HasSubstr("libftdi: cannot open 'B2': unable to claim usb device"));
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("QVM7316 "), FT_OPEN_BY_DESCRIPTION, &second),
              static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));  // names match exactly
    ASSERT_EQ(FT_OpenEx(longName.substr(0, 63).data(), FT_OPEN_BY_DESCRIPTION, &second), FT_OK);
    EXPECT_TRUE(sim::FindDevice("D4")->open);
    EXPECT_EQ(FT_Close(second), FT_OK);
    EXPECT_EQ(FT_Close(second), static_cast<FT_STATUS>(FT_INVALID_HANDLE));
    EXPECT_EQ(CloseDevice(), 0);
    EXPECT_FALSE(sim::FindDevice("B2")->open);

    // A chip without a serial number string is listed with an empty one; a
    // device this user may not open is one to pass over (its location is
    // known all the same), and a device whose strings fail otherwise fails
    // the listing, saying why.
    Standin().withoutSerial.insert("A1");
    sim::FindDevice("C3")->noAccess = true;
    Standin().brokenStrings.insert("D4");
    ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    ASSERT_EQ(byIndex(0, FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(std::string(text), "");
    EXPECT_EQ(byIndex(3, FT_OPEN_BY_DESCRIPTION), static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    EXPECT_EQ(byIndex(3, FT_OPEN_BY_SERIAL_NUMBER), static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    DWORD location = 0;
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(3), &location, FT_LIST_BY_INDEX | FT_OPEN_BY_LOCATION), FT_OK);
    EXPECT_EQ(location, 0x01300000u);  // bus 1, port 3: the third device of the scenario
    EXPECT_EQ(Output(), "");
    EXPECT_EQ(byIndex(2, FT_OPEN_BY_DESCRIPTION), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_THAT(Output(),
                HasSubstr("libftdi: cannot read the names of FTDI device 2: get product description failed\n"));
    // Nor can this user open it by its location.
    FT_HANDLE unreadable = nullptr;
    EXPECT_EQ(FT_OpenEx(reinterpret_cast<void*>(std::uintptr_t{location}), FT_OPEN_BY_LOCATION, &unreadable),
              static_cast<FT_STATUS>(FT_DEVICE_NOT_OPENED));
    EXPECT_THAT(Output(), HasSubstr("libftdi: cannot open location 0x01300000: libusb_open() failed\n"));
}

// What a new user met through libftdi1: adapters without a serial number,
// and adapters the udev rule gives this user no access to, at the start
// and plugged in mid-run. The update reaches the QVM7316 and no other.
TEST_F(LibftdiTest, TheUpdateReachesTheQvm7316AmongAdapters) {
    struct Case {
        const char* scenario;
        DWORD qvm7316;      // its place in the scenario, its port on bus 1
        const char* opens;  // every connection's open
    } cases[] = {
        {"devices = \"FT232R USB UART\" [], QVM7316 []", 2, "location 0x01200000 = 0"},
        {"devices = QVM7316 [], \"FT232R USB UART\" []\nswap_order_after = 4", 1, "location 0x01100000 = 0"},
        {"devices = \"FT232R USB UART\" [F9], QVM7316 [A1]\nno_access = 1, 3\n"
         "attach_after = 5 \"FT232R USB UART\" [F8]",
         2, "serial \"A1\" = 0"},
    };
    CopySamples();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ResetProcessState();
        ResetLibftdiStandin();
        UseVirtualClock();
        Start(c.scenario);
        UseLibftdi();
        ASSERT_EQ(UpdateWorker(), 0) << Output();
        std::vector<std::string> opens;
        for (const auto& t : Trace())
            if (t.call == "FT_OpenEx") opens.push_back(t.rest);
        EXPECT_EQ(opens, std::vector<std::string>(9, c.opens));
        EXPECT_TRUE(sim::DeviceAt(c.qvm7316)->gateArray.verifyMatched);
        const std::vector<std::uint8_t>& held = sim::DeviceAt(c.qvm7316)->gateArray.image;
        EXPECT_EQ(std::string(held.begin(), held.end()), ReadFile("GEN.dat"));
        EXPECT_EQ(sim::DeviceAt(3 - c.qvm7316)->handshakes, 0u);
    }
}

TEST_F(LibftdiTest, AnOpenBySerialNumberTakesTheListedDeviceOnly) {
    Start("devices = QVM7316 [A1]");
    UseLibftdi();
    DWORD count = 0;
    ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    // Between the listing and the open another device takes that serial
    // number's place: not the device listed.
    sim::FindDevice("A1")->description = "FT232R USB UART";
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("A1"), FT_OPEN_BY_SERIAL_NUMBER, &handle),
              static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));
    sim::FindDevice("A1")->description = "QVM7316";
    ASSERT_EQ(FT_OpenEx(const_cast<char*>("A1"), FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_OK);
    EXPECT_EQ(FT_Close(handle), FT_OK);

    // A port path that no location can hold fails the location query, and
    // the connection that needs it, as a failed listing.
    Start("devices = QVM7316 []");
    Standin().ports[""] = {1, 2, 3, 4, 5, 6, 7};
    UseLibftdi();
    EXPECT_EQ(OpenDevice(), USB_LIST_FAILURE);
    EXPECT_THAT(Output(), HasSubstr("second List Device Failed\n"));
}

TEST(LibftdiLocationTest, TheBusAndEachPortAreDigitsOfTheLocation) {
    DWORD location = 0;
    const std::uint8_t path[] = {1, 4, 15, 2, 3, 9, 1};
    ASSERT_TRUE(LibftdiLocation(3, path, 2, location));
    EXPECT_EQ(location, 0x03140000u);
    ASSERT_TRUE(LibftdiLocation(255, path, 6, location));
    EXPECT_EQ(location, 0xFF14F239u);
    EXPECT_FALSE(LibftdiLocation(1, path, 7, location));  // seven ports deep
    const std::uint8_t wide[] = {2, 16};
    EXPECT_FALSE(LibftdiLocation(1, wide, 2, location));  // a hub port above 15
}

TEST_F(LibftdiTest, ReadsEndAsTheVendorsDoAndLoseNothing) {
    // A device that sends half a reply: the read waits out its time-out and
    // returns what came, at the same moment as the emulator's own table.
    auto halfReply = [this] {
        AskForReplies(3000);
        char buffer[24];
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 24, &g_bytesRead), FT_OK);
        FT_Read(g_deviceHandle, buffer, 24, &g_bytesRead);
        CloseDevice();
    };
    const std::string half = "comcheck_reply1 = \" Doing COM\"\ncomcheck_reply2 = none\n";
    std::vector<std::string> viaLibftdi = Run(half, true, halfReply);
    EXPECT_EQ(viaLibftdi, Run(half, false, halfReply));
    EXPECT_THAT(viaLibftdi[8], ::testing::StartsWith("200 FT_Read 24 = 0 20446F696E6720434F4D"));
    EXPECT_EQ(viaLibftdi[9], "3200 FT_Read 24 = 0 -");

    // No read time-out: the read waits for all it asked for, both replies...
    Run("comcheck_delay_ms = 1000", true, [this] {
        AskForReplies(0);
        char buffer[49];
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 48, &g_bytesRead), FT_OK);
        EXPECT_EQ(g_bytesRead, 48u);
        EXPECT_EQ(NowMs(), 1200u);
        // ...and from a silent device until a stop is requested; it does
        // not throw: the stop takes effect at the next call.
        Standin().onLook = [] {
            if (NowMs() >= 60000) RequestStop(kStoppedByInterrupt);
        };
        EXPECT_EQ(FT_Read(g_deviceHandle, buffer, 1, &g_bytesRead), FT_OK);
        EXPECT_EQ(g_bytesRead, 0u);
        EXPECT_EQ(NowMs(), 60000u);
    });
    ResetInterrupts();

    // A transfer that fails in the middle of a read fails the read; the
    // bytes that came before it are kept for the next one.
    Run("comcheck_delay_ms = 1000", true, [this] {
        AskForReplies(3000);
        Standin().readsFailFrom = 700;
        char buffer[49] = {};
        EXPECT_EQ(FT_Read(g_deviceHandle, buffer, 48, &g_bytesRead), static_cast<FT_STATUS>(FT_IO_ERROR));
        EXPECT_EQ(g_bytesRead, 0u);
        EXPECT_EQ(NowMs(), 700u);
        DWORD waiting = 0;
        EXPECT_NE(FT_GetQueueStatus(g_deviceHandle, &waiting), static_cast<FT_STATUS>(FT_OK));
        Standin().readsFailFrom.reset();
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 24, &g_bytesRead), FT_OK);
        EXPECT_STREQ(buffer, " Doing COM CHECK command");
    });
    EXPECT_EQ(Trace()[8].rest, "48 = 4 -");
}

// With an FT232R, which holds a short reply back until its latency timer
// runs out: a read still ends at its time-out with what had come by then,
// what comes later goes to the next read, and a look at the receive queue
// costs no time.
TEST_F(LibftdiTest, TheChipsLatencyNeitherStretchesReadsNorMovesBytes) {
    auto withLatency = [this](const std::string& scenario, const std::function<void()>& body) {
        return Run(scenario, true, [&] {
            Standin().chipLatency = true;
            body();
        });
    };
    // The second reply is sent 1000 ms after the first, 5 ms before the
    // read's time-out; it reaches the host one latency period later at most.
    withLatency("comcheck_delay_ms = 1000", [this] {
        AskForReplies(1005);
        std::uint64_t asked = NowMs();
        char buffer[49] = {};
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 48, &g_bytesRead), FT_OK);
        EXPECT_EQ(NowMs(), asked + 1005);
        EXPECT_EQ(std::string(buffer, g_bytesRead), " Doing COM CHECK command");
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 24, &g_bytesRead), FT_OK);
        EXPECT_EQ(std::string(buffer, g_bytesRead), "  Done COM CHECK command");
        EXPECT_LE(NowMs(), asked + 1000 + kLibftdiLatencyMs);
    });
    // On a busy computer the wait for the chip ends late: what came after
    // the time-out is still the next read's.
    Run("comcheck_delay_ms = 1000", true, [this] {
        Standin().waitOvershootMs = 10;
        AskForReplies(995);
        char buffer[49] = {};
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 48, &g_bytesRead), FT_OK);
        EXPECT_EQ(std::string(buffer, g_bytesRead), " Doing COM CHECK command");
        ASSERT_EQ(FT_Read(g_deviceHandle, buffer, 24, &g_bytesRead), FT_OK);
        EXPECT_EQ(std::string(buffer, g_bytesRead), "  Done COM CHECK command");
    });
    withLatency("comcheck_delay_ms = 1000", [this] {
        AskForReplies(1000);
        std::uint64_t sent = NowMs();
        DWORD waiting = 0;
        std::uint64_t before = NowMs();
        ASSERT_EQ(FT_GetQueueStatus(g_deviceHandle, &waiting), FT_OK);
        EXPECT_EQ(NowMs(), before);
        while (waiting == 0) {
            SleepMs(1);
            ASSERT_EQ(FT_GetQueueStatus(g_deviceHandle, &waiting), FT_OK);
        }
        EXPECT_EQ(waiting, 24u);
        EXPECT_LE(NowMs(), sent + kLibftdiLatencyMs);
    });
}

// The gate array's erase report, sent a few milliseconds after the erase
// stage's last request read has timed out, is the report, not requests:
// printed as it is with the emulator's own table.
TEST_F(LibftdiTest, AnEraseReportJustAfterTheRequestTimeOutIsPrintedAsTheReport) {
    WriteFile("GEN.dat", std::string(3200, 'G'));
    for (int late : {1, 4, 8, 12, 16}) {
        std::string scenario = "ga_erase_ms = " + std::to_string(2000 + late);
        std::string viaEmulator, viaLibftdi;
        Run(scenario, false, [&] { ASSERT_EQ(EraseGateArray(), 0); });
        viaEmulator = Output();
        Run(scenario, true, [&] {
            Standin().chipLatency = true;
            ASSERT_EQ(EraseGateArray(), 0);
        });
        viaLibftdi = Output();
        EXPECT_THAT(viaLibftdi, HasSubstr("\nGA erase OK\r\nReseting Processor\n")) << scenario;
        EXPECT_EQ(viaLibftdi, viaEmulator) << scenario;
    }
}

TEST_F(LibftdiTest, WritesPurgesAndTimeOutsReachTheChip) {
    Start("ga_length = 64\nga_short_write = 1");
    UseLibftdi();
    AskForReplies(3000);
    ftdi_context* chip = Standin().lastOpened;
    EXPECT_EQ(Standin().bothWayFlushes, 1u);
    EXPECT_EQ(chip->usb_write_timeout, kLibftdiUnlimitedWriteMs);  // 0 asks for no limit
    EXPECT_EQ(FT_SetTimeouts(g_deviceHandle, 3000, 250), FT_OK);
    EXPECT_EQ(chip->usb_write_timeout, 250);
    // The latency timer goes to the chip, as the driver takes it.
    EXPECT_EQ(Standin().latencyMs, kLibftdiLatencyMs);  // the open's
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 5), FT_OK);
    EXPECT_EQ(Standin().latencyMs, 5);
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 1), static_cast<FT_STATUS>(FT_INVALID_PARAMETER));
    Standin().latencyRefused = true;
    EXPECT_EQ(FT_SetLatencyTimer(g_deviceHandle, 9), static_cast<FT_STATUS>(FT_IO_ERROR));
    Standin().latencyRefused = false;
    EXPECT_EQ(Standin().latencyMs, 5);

    // What was read ahead to count the receive queue goes with a purge.
    DWORD rx = 0, tx = 1, event = 1;
    ASSERT_EQ(FT_GetStatus(g_deviceHandle, &rx, &tx, &event), FT_OK);
    EXPECT_EQ(rx, 24u);
    EXPECT_EQ(tx, 0u);
    ASSERT_EQ(FT_Purge(g_deviceHandle, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    ASSERT_EQ(FT_GetQueueStatus(g_deviceHandle, &rx), FT_OK);
    EXPECT_EQ(rx, 0u);

    // A write the chip takes in part is a failed write, with its count...
    SendCommandByte(0xF4);
    SendCommandByte(0xC0);
    char request[7] = {};
    ASSERT_EQ(FT_Read(g_deviceHandle, request, 6, &g_bytesRead), FT_OK);
    EXPECT_STREQ(request, "000001");
    std::string answer(64, 'A');
    DWORD written = 0;
    EXPECT_EQ(FT_Write(g_deviceHandle, answer.data(), 64, &written), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(written, 32u);
    // ...and one to an unplugged device fails with none.
    Standin().writesFailFrom = 0;
    EXPECT_EQ(FT_Write(g_deviceHandle, answer.data(), 1, &written), static_cast<FT_STATUS>(FT_IO_ERROR));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(CloseDevice(), 0);

    // A libftdi1 before 1.5 purges both ways by its older name, and has no
    // one-way purge that can be trusted.
    UseLibftdi({}, false);
    ASSERT_EQ(OpenDevice(), 0);
    EXPECT_EQ(PurgeDevice(), 0);
    EXPECT_EQ(Standin().oldPurges, 1u);
    EXPECT_EQ(FT_Purge(g_deviceHandle, FT_PURGE_RX), static_cast<FT_STATUS>(FT_OTHER_ERROR));
    EXPECT_EQ(CloseDevice(), 0);
}

TEST(LibftdiLoadTest, AMissingLibraryIsOneClearLine) {
    std::string reason;
    EXPECT_EQ(LoadLibftdiD2xx({}, reason, "libftdi1-not-there.so.9"), nullptr);
    EXPECT_THAT(reason, HasSubstr("libftdi1 could not be loaded (libftdi1-not-there.so.9: "));
    EXPECT_THAT(reason, HasSubstr("libftdi1-2"));
    EXPECT_EQ(reason.find('\n'), std::string::npos);

    EXPECT_EQ(LoadLibftdiD2xx({}, reason, "libc.so.6"), nullptr);
    EXPECT_EQ(reason, "libc.so.6 lacks ftdi_new - is it libftdi1?");

    // The real library (scripts/setup.sh installs it) has every function,
    // with the signatures the backend calls them by.
    const D2xxOps* real = LoadLibftdiD2xx({{0x1234, 0x5678}}, reason);
    ASSERT_NE(real, nullptr) << reason;
    EXPECT_STREQ(real->name, "libftdi");
    DWORD count = 99;
    EXPECT_EQ(real->ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_NE(count, 99u);
}
