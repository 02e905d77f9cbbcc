#include "platform/d2xx.h"

namespace {

FT_STATUS WINAPI MissingListDevices(PVOID, PVOID, DWORD) { return FT_OTHER_ERROR; }
FT_STATUS WINAPI MissingOpenEx(PVOID, DWORD, FT_HANDLE*) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS WINAPI MissingClose(FT_HANDLE) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingRead(FT_HANDLE, LPVOID, DWORD, LPDWORD) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingWrite(FT_HANDLE, LPVOID, DWORD, LPDWORD) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingPurge(FT_HANDLE, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingSetTimeouts(FT_HANDLE, ULONG, ULONG) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingGetQueueStatus(FT_HANDLE, DWORD*) { return FT_INVALID_HANDLE; }
FT_STATUS WINAPI MissingGetStatus(FT_HANDLE, DWORD*, DWORD*, DWORD*) { return FT_INVALID_HANDLE; }

const D2xxOps kMissing = {
    "no D2XX library",  MissingListDevices, MissingOpenEx,      MissingClose,
    MissingRead,        MissingWrite,       MissingPurge,       MissingSetTimeouts,
    MissingGetQueueStatus, MissingGetStatus,
};

// The backend in use; chosen once at start-up.
const D2xxOps* g_ops = &kMissing;

}  // namespace

const D2xxOps* MissingD2xx() { return &kMissing; }
void SelectD2xx(const D2xxOps* ops) { g_ops = ops ? ops : &kMissing; }
const D2xxOps* SelectedD2xx() { return g_ops; }

FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags) { return g_ops->ListDevices(pArg1, pArg2, Flags); }
FT_STATUS FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) { return g_ops->OpenEx(pArg1, Flags, pHandle); }
FT_STATUS FT_Close(FT_HANDLE ftHandle) { return g_ops->Close(ftHandle); }
FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead, LPDWORD lpBytesReturned) {
    return g_ops->Read(ftHandle, lpBuffer, dwBytesToRead, lpBytesReturned);
}
FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite, LPDWORD lpBytesWritten) {
    return g_ops->Write(ftHandle, lpBuffer, dwBytesToWrite, lpBytesWritten);
}
FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask) { return g_ops->Purge(ftHandle, Mask); }
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout) {
    return g_ops->SetTimeouts(ftHandle, ReadTimeout, WriteTimeout);
}
FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) { return g_ops->GetQueueStatus(ftHandle, dwRxBytes); }
FT_STATUS FT_GetStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes, DWORD* dwTxBytes, DWORD* dwEventDWord) {
    return g_ops->GetStatus(ftHandle, dwRxBytes, dwTxBytes, dwEventDWord);
}
