#include "platform/keep_awake.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#endif

namespace {

constexpr char kKeptAwake[] = "the machine is kept awake during the update: ";
constexpr char kNotKeptAwake[] = "the machine is not kept awake during the update: ";
constexpr char kWhatToDo[] = "; keep it on mains power, and from sleeping, until the update has finished";

AwakeState NotKept(const std::string& reason) { return {false, kNotKeptAwake + reason + kWhatToDo}; }

#if defined(_WIN32)

bool g_kept = false;

}  // namespace

AwakeState KeepMachineAwake() {
    g_kept = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!g_kept) return NotKept("Windows refused to keep it in its working state");
    return {true, std::string(kKeptAwake) +
                      "Windows keeps it in its working state (closing the lid or pressing the power button can still "
                      "put it to sleep), and a log-off or a shut-down is refused"};
}

void LetMachineSleep() {
    if (g_kept) SetThreadExecutionState(ES_CONTINUOUS);
    g_kept = false;
}

#else

// The few sd-bus calls used, declared here so that building needs no
// systemd header; the library is loaded when a run begins.
struct BusError {  // sd_bus_error
    const char* name;
    const char* message;
    int needFree;
};
struct SdBus {
    int (*openSystem)(void** bus);
    int (*setMethodCallTimeout)(void* bus, std::uint64_t usec);  // newer libraries only
    int (*callMethod)(void* bus, const char* destination, const char* path, const char* interface, const char* member,
                      BusError* error, void** reply, const char* types, ...);
    int (*messageRead)(void* message, const char* types, ...);
    void* (*messageUnref)(void* message);
    void* (*flushCloseUnref)(void* bus);
    void (*errorFree)(BusError* error);
};

constexpr char kLibsystemd[] = "libsystemd.so.0";
constexpr std::uint64_t kLogindAnswersWithinUs = 5'000'000;

// The inhibitor lock: logind holds it while this descriptor is open.
int g_lockFd = -1;

template <typename Fn>
bool Find(void* library, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

bool LoadSdBus(SdBus& bus) {
    static void* library = dlopen(kLibsystemd, RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    Find(library, "sd_bus_set_method_call_timeout", bus.setMethodCallTimeout);
    return Find(library, "sd_bus_open_system", bus.openSystem) && Find(library, "sd_bus_call_method", bus.callMethod) &&
           Find(library, "sd_bus_message_read", bus.messageRead) &&
           Find(library, "sd_bus_message_unref", bus.messageUnref) &&
           Find(library, "sd_bus_flush_close_unref", bus.flushCloseUnref) &&
           Find(library, "sd_bus_error_free", bus.errorFree);
}

// Why logind gave no lock, from the error of the call.
std::string Refusal(const BusError& error) {
    std::string name = error.name ? error.name : "";
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return "logind is not running";
    std::string text = error.message && *error.message ? error.message : name;
    return "logind refused the inhibitor lock (" + text + ")";
}

AwakeState AskLogind(const SdBus& sd) {
    void* bus = nullptr;
    if (int r = sd.openSystem(&bus); r < 0)
        return NotKept(std::string("logind is not running (no system bus: ") + std::strerror(-r) + ")");
    if (sd.setMethodCallTimeout) sd.setMethodCallTimeout(bus, kLogindAnswersWithinUs);
    BusError error{};
    void* reply = nullptr;
    int r = sd.callMethod(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                          "Inhibit", &error, &reply, "ssss", "sleep:shutdown:idle:handle-lid-switch", "qvm7316-update",
                          "firmware update in progress", "block");
    AwakeState state;
    if (r < 0) {
        state = NotKept(error.name ? Refusal(error) : std::string("logind gave no answer (") + std::strerror(-r) + ")");
    } else {
        int fd = -1;
        // The reply owns its descriptor: the lock is kept on a copy.
        if (sd.messageRead(reply, "h", &fd) >= 0 && fd >= 0) g_lockFd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        state =
            g_lockFd >= 0
                ? AwakeState{true, std::string(kKeptAwake) + "logind blocks sleep, shut-down, idle and the lid switch"}
                : NotKept("logind's answer held no inhibitor lock");
    }
    if (reply) sd.messageUnref(reply);
    sd.errorFree(&error);
    sd.flushCloseUnref(bus);
    return state;
}

}  // namespace

AwakeState KeepMachineAwake() {
    LetMachineSleep();
    SdBus sd{};
    if (!LoadSdBus(sd))
        return NotKept(std::string(kLibsystemd) + " cannot be loaded, so logind cannot be asked for an inhibitor lock");
    return AskLogind(sd);
}

void LetMachineSleep() {
    if (g_lockFd >= 0) close(g_lockFd);
    g_lockFd = -1;
}

#endif
