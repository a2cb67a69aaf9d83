/* What passes between the lab's substitute shield (orvfsh.sys) and its callers: the two
 * control codes the tool sends, the lab's own control code, and the log it reads back.
 * Included by the driver (DDK headers) and by shield_ctl.exe (windows.h): both give
 * CTL_CODE, METHOD_BUFFERED and the access bits. */
#ifndef LAB_SHIELD_PROTOCOL_H
#define LAB_SHIELD_PROTOCOL_H

#define SHIELD_DEVICE_TYPE 0x5349
#define SHIELD_FUNCTION_GET_STATE 0x803
#define SHIELD_FUNCTION_SET_STATE 0x804
/* Free in the tool's numbering: only the lab sends it. */
#define SHIELD_FUNCTION_LAB_EXCHANGE 0x8A0

#define IOCTL_SHIELD_GET_STATE \
    CTL_CODE(SHIELD_DEVICE_TYPE, SHIELD_FUNCTION_GET_STATE, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_SHIELD_SET_STATE \
    CTL_CODE(SHIELD_DEVICE_TYPE, SHIELD_FUNCTION_SET_STATE, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define IOCTL_SHIELD_LAB_EXCHANGE \
    CTL_CODE(SHIELD_DEVICE_TYPE, SHIELD_FUNCTION_LAB_EXCHANGE, METHOD_BUFFERED, FILE_ANY_ACCESS)

_Static_assert(IOCTL_SHIELD_GET_STATE == 0x5349A00C, "the tool's state query code");
_Static_assert(IOCTL_SHIELD_SET_STATE == 0x5349A010, "the tool's state set code");

#define SHIELD_STATE_SIZE 4

enum shield_event {
    SHIELD_EVENT_CREATE = 1,
    SHIELD_EVENT_CONTROL = 2,
    SHIELD_EVENT_CLOSE = 3
};

/* One request as it reached the driver. `open` numbers the handles from 1 in the order of
 * their creates, so a request can be told apart by the open it came through. */
struct shield_log_entry {
    unsigned long event;
    unsigned long open;
    unsigned long code;        /* the control code; for a create, its Options as they came */
    unsigned long in_size;
    unsigned long out_size;
    unsigned long has_value;   /* the value below was carried: the set's input, the query's answer */
    unsigned long value;
    long status;
};

#define SHIELD_LOG_MAX 48

/* Input of IOCTL_SHIELD_LAB_EXCHANGE; with no input the configuration stays as it is. */
#define SHIELD_LAB_REFUSE 0x1
struct shield_lab_config {
    unsigned long state;       /* what the query answers from now on */
    unsigned long flags;
};

/* Output of IOCTL_SHIELD_LAB_EXCHANGE: the state and flags before the exchange, and the
 * log since the last exchange (lost counts the requests that did not fit). The log is then
 * empty. The exchange's own handle does not show in it. */
struct shield_lab_report {
    unsigned long state;
    unsigned long flags;
    unsigned long count;
    unsigned long lost;
    struct shield_log_entry entries[SHIELD_LOG_MAX];
};

#endif
