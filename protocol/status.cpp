#include "protocol/status.h"

const char* StatusName(int status) {
    switch (status) {
        case STATUS_OK:
            return "OK";
        case REPLAY_DIVERGED:
            return "REPLAY_DIVERGED";
        case USB_LIST_FAILURE:
            return "USB_LIST_FAILURE";
        case USB_PURGE_FAILURE:
            return "USB_PURGE_FAILURE";
        case USB_TIMEOUT_FAILURE:
            return "USB_TIMEOUT_FAILURE";
        case USB_READ_FAILURE:
            return "USB_READ_FAILURE";
        case USB_WRITE_FAILURE:
            return "USB_WRITE_FAILURE";
        case USB_OPEN_FAILURE:
            return "USB_OPEN_FAILURE";
        case USB_CLOSE_FAILURE:
            return "USB_CLOSE_FAILURE";
        case BAD_HANDSHAKE:
            return "BAD_HANDSHAKE";
        case GEN_DAT_OPEN_FAILURE:
            return "GEN_DAT_OPEN_FAILURE";
        case GEN_HEX_OPEN_FAILURE:
            return "GEN_HEX_OPEN_FAILURE";
        case GN_HEX_OPEN_FAILURE:
            return "GN_HEX_OPEN_FAILURE";
        case PROM_HEX_OPEN_FAILURE:
            return "PROM_HEX_OPEN_FAILURE";
        case FILE_CLOSE_FAILURE:
            return "FILE_CLOSE_FAILURE";
        case DEVICE_NOT_FOUND:
            return "DEVICE_NOT_FOUND";
        case DEVICE_OPEN_FAILURE:
            return "DEVICE_OPEN_FAILURE";
        case USB_TIMED_OUT:
            return "USB_TIMED_OUT";
        case COM_CHECK_FAILURE:
            return "COM_CHECK_FAILURE";
        case INTERRUPTED:
            return "INTERRUPTED";
        case TERMINATED:
            return "TERMINATED";
        default:
            return "?";
    }
}
