/* The lab's substitute for the resident shield: a kernel driver that Wine loads as the
 * device \\.\OrvFsh. It answers the tool's state query and takes its state set as the
 * real shield would, and it keeps a log of every request for the lab to read back through
 * a control code of its own, which also tells it what to answer and whether to refuse. */
#include <ntddk.h>

#include "shield_protocol.h"

#define SHIELD_DEVICE_NAME L"\\Device\\OrvFsh"
#define SHIELD_LINK_NAME L"\\DosDevices\\OrvFsh"

/* Handles of the lab's exchange carry this in FsContext2: their close is not the tool's. */
#define LAB_HANDLE ((PVOID)1)

static KMUTEX log_lock;
static struct shield_lab_report report;
static unsigned long opens;

static void log_request(unsigned long event, PFILE_OBJECT file, unsigned long code,
                        unsigned long in_size, unsigned long out_size, const void *value,
                        NTSTATUS status)
{
    struct shield_log_entry *e;

    if (report.count == SHIELD_LOG_MAX) {
        report.lost++;
        return;
    }
    e = &report.entries[report.count++];
    e->event = event;
    e->open = (unsigned long)(ULONG_PTR)file->FsContext;
    e->code = code;
    e->in_size = in_size;
    e->out_size = out_size;
    e->has_value = value != NULL;
    e->value = value ? *(const unsigned long *)value : 0;
    e->status = status;
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR returned)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = returned;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void lock_log(void)
{
    KeWaitForSingleObject(&log_lock, Executive, KernelMode, FALSE, NULL);
}

static void unlock_log(void)
{
    KeReleaseMutex(&log_lock, FALSE);
}

static NTSTATUS NTAPI on_create(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    (void)device;

    lock_log();
    sp->FileObject->FsContext = (PVOID)(ULONG_PTR)++opens;
    sp->FileObject->FsContext2 = NULL;
    log_request(SHIELD_EVENT_CREATE, sp->FileObject, sp->Parameters.Create.Options, 0, 0, NULL,
                STATUS_SUCCESS);
    unlock_log();
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI on_close(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    (void)device;

    lock_log();
    if (sp->FileObject->FsContext2 != LAB_HANDLE)
        log_request(SHIELD_EVENT_CLOSE, sp->FileObject, 0, 0, 0, NULL, STATUS_SUCCESS);
    unlock_log();
    return complete(irp, STATUS_SUCCESS, 0);
}

/* Hands the report out and starts a new one; the exchange's own create leaves it. */
static NTSTATUS lab_exchange(PFILE_OBJECT file, void *buffer, ULONG in_size, ULONG out_size,
                             ULONG_PTR *returned)
{
    unsigned long mine = (unsigned long)(ULONG_PTR)file->FsContext;
    struct shield_lab_config config;
    unsigned long i, kept = 0;

    if (out_size < sizeof report || (in_size != 0 && in_size != sizeof config))
        return STATUS_INVALID_BUFFER_SIZE;
    if (in_size)
        RtlCopyMemory(&config, buffer, sizeof config);
    for (i = 0; i < report.count; i++) {
        if (report.entries[i].open != mine)
            report.entries[kept++] = report.entries[i];
    }
    report.count = kept;
    RtlCopyMemory(buffer, &report, sizeof report);
    *returned = sizeof report;
    if (in_size) {
        report.state = config.state;
        report.flags = config.flags;
    }
    report.count = 0;
    report.lost = 0;
    opens = 0;
    file->FsContext2 = LAB_HANDLE;
    return STATUS_SUCCESS;
}

static NTSTATUS get_state(void *buffer, ULONG out_size, ULONG_PTR *returned)
{
    if (out_size != SHIELD_STATE_SIZE)
        return STATUS_INVALID_BUFFER_SIZE;
    if (report.flags & SHIELD_LAB_REFUSE)
        return STATUS_ACCESS_DENIED;
    RtlCopyMemory(buffer, &report.state, SHIELD_STATE_SIZE);
    *returned = SHIELD_STATE_SIZE;
    return STATUS_SUCCESS;
}

static NTSTATUS set_state(const void *buffer, ULONG in_size, ULONG out_size)
{
    if (in_size != SHIELD_STATE_SIZE || out_size != 0)
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(&report.state, buffer, SHIELD_STATE_SIZE);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI on_control(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_size = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = sp->Parameters.DeviceIoControl.OutputBufferLength;
    /* METHOD_BUFFERED: one system buffer carries the input in and the output back. */
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    unsigned long carried = 0;
    const void *value = NULL;
    ULONG_PTR returned = 0;
    NTSTATUS status;
    (void)device;

    lock_log();
    if (code == IOCTL_SHIELD_LAB_EXCHANGE) {
        status = lab_exchange(sp->FileObject, buffer, in_size, out_size, &returned);
        unlock_log();
        return complete(irp, status, returned);
    }
    if (code == IOCTL_SHIELD_GET_STATE) {
        status = get_state(buffer, out_size, &returned);
        if (NT_SUCCESS(status))
            value = &report.state;
    } else if (code == IOCTL_SHIELD_SET_STATE) {
        if (in_size >= SHIELD_STATE_SIZE) {
            RtlCopyMemory(&carried, buffer, SHIELD_STATE_SIZE);
            value = &carried;
        }
        status = set_state(buffer, in_size, out_size);
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    log_request(SHIELD_EVENT_CONTROL, sp->FileObject, code, in_size, out_size, value, status);
    unlock_log();
    return complete(irp, status, returned);
}

static void NTAPI unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;

    RtlInitUnicodeString(&link, SHIELD_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device;
    NTSTATUS status;
    (void)registry_path;

    KeInitializeMutex(&log_lock, 0);
    RtlInitUnicodeString(&name, SHIELD_DEVICE_NAME);
    status = IoCreateDevice(driver, 0, &name, SHIELD_DEVICE_TYPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    RtlInitUnicodeString(&link, SHIELD_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_CREATE] = on_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_control;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
