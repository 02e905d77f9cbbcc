// Loads the vendor's D2XX library at run time and fills an operations table
// from its exports.
#include "platform/d2xx.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// Filled from the library's exports when it loads.
D2xxOps g_vendor{};

#if defined(_WIN32)
using Library = HMODULE;

// Loads the library by full path; the DLLs it needs in turn are looked up
// only beside it and in the system directory. Systems without those search
// flags refuse them as an invalid parameter and get the older form.
HMODULE LoadByPath(const wchar_t* path) {
    HMODULE lib = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!lib && GetLastError() == ERROR_INVALID_PARAMETER)
        lib = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return lib;
}

// The program runs elevated, from a folder the user chose and often one
// anyone may write to (Downloads), so the library is taken from the system
// directory only, where the vendor's driver package always puts it.
Library OpenLibrary() {
    wchar_t path[MAX_PATH + 32];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    lstrcatW(path, L"\\FTD2XX.dll");
    return LoadByPath(path);
}
void* Symbol(Library lib, const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); }
const char* kLibraryName = "FTD2XX.dll";
const char kMissingLine[] =
    "FTD2XX.dll is not in the Windows system folder: the FTDI D2XX device driver is not installed";
#else
using Library = void*;
Library OpenLibrary() { return dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL); }
void* Symbol(Library lib, const char* name) { return dlsym(lib, name); }
const char* kLibraryName = "libftd2xx.so";
const char kMissingLine[] = "D2XX driver library libftd2xx.so could not be loaded - is the FTDI driver installed?";
#endif

template <typename Fn>
bool Resolve(Library lib, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(Symbol(lib, name));
    return slot != nullptr;
}

}  // namespace

const D2xxOps* TryVendorD2xx(std::string& reason) {
    Library lib = OpenLibrary();
    if (!lib) {
        reason = kMissingLine;
        return nullptr;
    }
    g_vendor.name = "d2xx";
    bool ok = true;
#define RESOLVE(call, params, args) ok = ok && Resolve(lib, "FT_" #call, g_vendor.call);
    D2XX_CALLS(RESOLVE)
#undef RESOLVE
    if (!ok) {
        reason = std::string("D2XX driver library ") + kLibraryName +
                 " lacks a needed function - is it the FTDI D2XX driver?";
        return nullptr;
    }
    return &g_vendor;
}

const D2xxOps* LoadVendorD2xx() {
    std::string reason;
    const D2xxOps* ops = TryVendorD2xx(reason);
    return ops ? ops : UnavailableD2xx(reason);
}
