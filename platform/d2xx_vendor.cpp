// Loads the vendor's D2XX library at run time and fills an operations table
// from its exports.
#include "platform/d2xx.h"
#include "platform/log.h"

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

// The program runs elevated and reads its images from the current directory,
// so the library is taken only from the system directory or from the
// program's own directory, never from the current directory or PATH.
Library OpenLibrary() {
    wchar_t path[MAX_PATH + 32];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        lstrcatW(path, L"\\FTD2XX.dll");
        if (HMODULE lib = LoadByPath(path)) return lib;
    }
    DWORD len = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (len > 0 && len < MAX_PATH) {
        wchar_t* slash = wcsrchr(path, L'\\');
        if (slash) {
            slash[1] = 0;
            lstrcatW(path, L"FTD2XX.dll");
            if (HMODULE lib = LoadByPath(path)) return lib;
        }
    }
    return nullptr;
}
void* Symbol(Library lib, const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); }
const char* kLibraryName = "FTD2XX.dll";
#else
using Library = void*;
Library OpenLibrary() { return dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL); }
void* Symbol(Library lib, const char* name) { return dlsym(lib, name); }
const char* kLibraryName = "libftd2xx.so";
#endif

template <typename Fn>
bool Resolve(Library lib, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(Symbol(lib, name));
    return slot != nullptr;
}

}  // namespace

const D2xxOps* LoadVendorD2xx() {
    Library lib = OpenLibrary();
    if (!lib) {
        Log("D2XX driver library %s could not be loaded - is the FTDI driver installed?\n", kLibraryName);
        return MissingD2xx();
    }
    g_vendor.name = "vendor library";
    bool ok = true;
#define RESOLVE(call, params, args) ok = ok && Resolve(lib, "FT_" #call, g_vendor.call);
    D2XX_CALLS(RESOLVE)
#undef RESOLVE
    if (!ok) {
        Log("D2XX driver library %s lacks a needed function - is it the FTDI D2XX driver?\n", kLibraryName);
        return MissingD2xx();
    }
    return &g_vendor;
}
