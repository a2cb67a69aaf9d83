#include "shield/shield.h"

#include "platform/win.h"

#define SHIELD_DEVICE_TYPE 0x5349
#define IOCTL_SHIELD_GET_STATE CTL_CODE(SHIELD_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_SHIELD_SET_STATE CTL_CODE(SHIELD_DEVICE_TYPE, 0x804, METHOD_BUFFERED, FILE_WRITE_ACCESS)

static_assert(IOCTL_SHIELD_GET_STATE == 0x5349A00C, "shield query code");
static_assert(IOCTL_SHIELD_SET_STATE == 0x5349A010, "shield set code");
static_assert(sizeof(int32_t) == 4, "the state travels as four bytes");

int32_t saved_shield_state = SHIELD_NO_STATE;

static HANDLE open_shield(DWORD disposition)
{
    return CreateFileA(SHIELD_DEVICE, GENERIC_READ | GENERIC_WRITE, 0, NULL, disposition,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

void shield_save_state(void)
{
    HANDLE device = open_shield(OPEN_ALWAYS);
    if (device == INVALID_HANDLE_VALUE) {
        saved_shield_state = SHIELD_NO_STATE;
        return;
    }
    DWORD returned;
    BOOL answered = DeviceIoControl(device, IOCTL_SHIELD_GET_STATE, NULL, 0, &saved_shield_state,
                                    sizeof saved_shield_state, &returned, NULL);
    CloseHandle(device);
    if (!answered)
        saved_shield_state = SHIELD_NO_STATE;
}

void shield_restore_state(void)
{
    if (saved_shield_state == SHIELD_NO_STATE)
        return;
    int32_t state = saved_shield_state;
    HANDLE device = open_shield(CREATE_NEW);
    if (device == INVALID_HANDLE_VALUE)
        return;
    DWORD returned;
    DeviceIoControl(device, IOCTL_SHIELD_SET_STATE, &state, sizeof state, NULL, 0, &returned, NULL);
    CloseHandle(device);
}
