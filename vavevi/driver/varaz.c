/*
 * varaz.sys: the kernel-mode helper of the USB component.
 *
 * The library carries this driver as its RCDATA resource NRUSBBIN, writes it
 * to a file and runs it as the kernel-driver service "varaz" while a USB
 * component is open. It creates the device \Device\varaz with the link
 * \DosDevices\varaz (user mode opens \\.\varaz) and answers two
 * device-control requests:
 *
 *  - port cycle (0x222004): the first 4 bytes of the input are a handle, valid
 *    in the calling process and open for reading, to a USB device or pipe.
 *    The driver sends IOCTL_INTERNAL_USB_CYCLE_PORT to the top of that
 *    device's stack, so the hub takes the device off its port and enumerates
 *    it again, as if it had been unplugged and plugged in.
 *  - open by name (0x222008): the input is an 8-bit object name ending in a
 *    zero byte ("\DosDevices\..."); the driver opens it with the caller's
 *    rights checked, takes a reference to that device and keeps it as its
 *    stored target.
 *
 * Both complete with success and 0 bytes whatever happens inside them; what
 * happened shows only in the kernel debug output. Every other control code
 * fails with STATUS_UNSUCCESSFUL. Read, write, cleanup and close keep the
 * system's default answer (invalid device request; closing a handle still
 * succeeds).
 *
 * Only the system and the administrators may open the device (a secure-open
 * device with its own DACL, set before the link exists).
 *
 * Built for i386 and for x86_64 from this one source: the handle field of the
 * port-cycle record is 4 bytes on both, as 64-bit Windows keeps handle values
 * within 32 bits (sign-extended), so one record serves every caller.
 */
#include <ntifs.h>
#include <usb.h>
#include <usbdlib.h>

#define VARAZ_IOCTL_CYCLE_PORT 0x222004u        /* CTL_CODE(0x22, 0x801, METHOD_BUFFERED, ANY) */
#define VARAZ_IOCTL_OPEN_BY_NAME 0x222008u      /* CTL_CODE(0x22, 0x802, METHOD_BUFFERED, ANY) */
#define VARAZ_INTERNAL_USB_CYCLE_PORT 0x22001Fu /* IOCTL_INTERNAL_USB_CYCLE_PORT */

/* The file object type. The MinGW headers declare IoFileObjectType as a
 * dllimport POBJECT_TYPE *: so read, the name already gives the exported
 * variable's value, the type itself, and "*IoFileObjectType" (right with the
 * kernel's own headers, which declare it without dllimport) would read the
 * type object's first field instead, and no reference could ever match. */
#define VARAZ_FILE_OBJECT_TYPE ((POBJECT_TYPE)IoFileObjectType)

/* The access that the port-cycle request needs to the caller's handle: read
 * access to the device, which every node handle of the USB component has
 * (they are opened for reading and writing). */
#define VARAZ_CYCLE_ACCESS FILE_READ_DATA
/* The access that the open-by-name request asks for, checked against the
 * caller's own rights to the named object. */
#define VARAZ_OPEN_ACCESS FILE_ALL_ACCESS

/* "Varz" in pool dumps. */
#define VARAZ_POOL_TAG ((ULONG)'V' | (ULONG)'a' << 8 | (ULONG)'r' << 16 | (ULONG)'z' << 24)

/* Pointers in the debug texts are written with %x: their low 32 bits. */
#define DBG_PTR(p) ((ULONG)(ULONG_PTR)(p))

static const WCHAR kDeviceName[] = L"\\Device\\varaz";
static const WCHAR kLinkName[] = L"\\DosDevices\\varaz";

/* The stored target of the open-by-name request: a referenced file object and
 * the device behind it. One record, swapped atomically, so a create request
 * or a second open-by-name request on another thread never sees half of a
 * pair or releases a reference twice. */
typedef struct VARAZ_TARGET {
  PFILE_OBJECT File;
  PDEVICE_OBJECT Device;
} VARAZ_TARGET;

static VARAZ_TARGET *volatile g_target;

static void ReplaceTarget(VARAZ_TARGET *next) {
  VARAZ_TARGET *old = (VARAZ_TARGET *)InterlockedExchangePointer((PVOID volatile *)&g_target, next);
  if (old) {
    if (old->File) ObDereferenceObject(old->File);
    ExFreePoolWithTag(old, VARAZ_POOL_TAG);
  }
}

static NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Port cycle for the device behind a user handle. The top of the device's
 * stack is found with a counted reference (IoGetAttachedDeviceReference)
 * instead of attaching this driver's own device object to a foreign stack:
 * attached, it would receive that stack's requests, which it cannot pass on,
 * and it would have to be detached again. The reference is released once the
 * request has been answered. The debug texts keep their old names. */
static void CyclePort(const void *input, ULONG inputLength, KPROCESSOR_MODE mode) {
  LONG raw = 0;
  if (input && inputLength >= sizeof raw) RtlCopyMemory(&raw, input, sizeof raw);
  DbgPrint("nr nrDoTest handle = %x", (ULONG)raw);

  /* Only a file object has a device behind it; any other kind of object, or a
   * handle of another process, is refused here. The caller's own mode is
   * checked, so a user cannot hand in a kernel handle, and the handle must
   * carry read access: asking for more (all rights) would refuse the handles
   * that the component opens for reading and writing. */
  PFILE_OBJECT file = NULL;
  NTSTATUS status = ObReferenceObjectByHandle((HANDLE)(LONG_PTR)raw, VARAZ_CYCLE_ACCESS,
                                              VARAZ_FILE_OBJECT_TYPE, mode, (PVOID *)&file, NULL);
  if (!NT_SUCCESS(status)) {
    DbgPrint("Reff ERROR");
    return;
  }
  PDEVICE_OBJECT device = file->DeviceObject;
  DbgPrint("Reff OK PDO = %x PDO2 = %x", device ? device->Flags : 0, DBG_PTR(device));

  PDEVICE_OBJECT top = device ? IoGetAttachedDeviceReference(device) : NULL;
  if (!top) {
    DbgPrint("IoAttachDeviceToDeviceStack( Failed  !!!");
    ObDereferenceObject(file);
    return;
  }
  DbgPrint("IoAttachDeviceToDeviceStack( OK !!!");
  DbgPrint("Reff Stack OK Type= %x Flags = %x", top->DeviceType, top->Flags);

  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  DbgPrint("KeInitializeEvent ...");
  PIRP request = IoBuildDeviceIoControlRequest(VARAZ_INTERNAL_USB_CYCLE_PORT, top, NULL, 0, NULL, 0,
                                               TRUE, &event, &iosb);
  if (!request) {
    DbgPrint("nrDoTest Failed  !!!");
  } else {
    DbgPrint("IoBuildDeviceIoControlRequest 555 ( ...");
    status = IoCallDriver(top, request);
    DbgPrint("IoCallDriver(pObj, irp) ...");
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      DbgPrint("nrDoTest Pending  !!!");
    } else if (status == STATUS_INVALID_DEVICE_REQUEST) {
      DbgPrint("Invalid Device Request!");
    } else {
      DbgPrint("nr NT Status Code %x ", (ULONG)status);
    }
  }
  ObDereferenceObject(top);
  ObDereferenceObject(file);
}

/* Open by name: the name is read only within the input, up to its first zero
 * byte; a failure clears the stored target.
 *
 * The name comes from the caller, so the kernel opens it on the caller's
 * behalf only: the open is checked against the caller's own rights
 * (OBJ_FORCE_ACCESS_CHECK), as if the caller had opened the name itself.
 * IoGetDeviceObjectPointer would open it with the kernel's rights and let any
 * caller have the kernel hold any device with all access. The file object is
 * referenced from a kernel handle that is closed at once. */
static void OpenByName(const char *input, ULONG inputLength) {
  ULONG length = 0;
  while (input && length < inputLength && length < 0xFFFF && input[length]) ++length;

  VARAZ_TARGET *next = NULL;
  if (length > 0) {
    ANSI_STRING ansi;
    UNICODE_STRING name;
    ansi.Buffer = (PCHAR)input;
    ansi.Length = ansi.MaximumLength = (USHORT)length;
    if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&name, &ansi, TRUE))) {
      OBJECT_ATTRIBUTES attributes;
      InitializeObjectAttributes(&attributes, &name,
                                 OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK,
                                 NULL, NULL);
      HANDLE handle = NULL;
      IO_STATUS_BLOCK iosb;
      if (NT_SUCCESS(ZwOpenFile(&handle, VARAZ_OPEN_ACCESS, &attributes, &iosb, 0,
                                FILE_NON_DIRECTORY_FILE))) {
        PFILE_OBJECT file = NULL;
        if (NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, VARAZ_FILE_OBJECT_TYPE, KernelMode,
                                                 (PVOID *)&file, NULL))) {
          PDEVICE_OBJECT device = file->DeviceObject ? IoGetRelatedDeviceObject(file) : NULL;
          if (device)
            next =
                (VARAZ_TARGET *)ExAllocatePoolWithTag(NonPagedPool, sizeof *next, VARAZ_POOL_TAG);
          if (next) {
            next->File = file;
            next->Device = device;
          } else {
            ObDereferenceObject(file);
          }
        }
        ZwClose(handle);
      }
      RtlFreeUnicodeString(&name);
    }
  }
  if (next)
    DbgPrint(" Handles OK  !!! %x %x", DBG_PTR(next->File), DBG_PTR(next->Device));
  else
    DbgPrint("  Handles ERROR  !!!");
  ReplaceTarget(next);
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  DbgPrint("ze Dor Create  !!!");
  ReplaceTarget(NULL);
  return CompleteRequest(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const void *input = irp->AssociatedIrp.SystemBuffer;
  DbgPrint("ze Dor IO Control  !!!");
  switch (code) {
    case VARAZ_IOCTL_CYCLE_PORT:
      CyclePort(input, inputLength, irp->RequestorMode);
      return CompleteRequest(irp, STATUS_SUCCESS);
    case VARAZ_IOCTL_OPEN_BY_NAME:
      OpenByName((const char *)input, inputLength);
      return CompleteRequest(irp, STATUS_SUCCESS);
    default:
      return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
  }
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kLinkName);
  IoDeleteSymbolicLink(&link);
  if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
  DbgPrint("ze Dor Unload  !!!");
  ReplaceTarget(NULL);
}

/* Who may open the device: the system (S-1-5-18) and the administrators
 * (S-1-5-32-544), with all rights; nobody else. The driver makes kernel-mode
 * requests on behalf of its caller, so an ordinary user must not reach it.
 * The same descriptor as the secure-open device of the SDDL string
 * "D:P(A;;GA;;;SY)(A;;GA;;;BA)"; the kernel's IoCreateDeviceSecure lives in a
 * static library that the MinGW toolchain does not have, so the descriptor is
 * built here and set on the device object before its link exists. */
typedef struct VARAZ_SID2 {
  UCHAR Revision;
  UCHAR SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY Authority;
  ULONG SubAuthority[2];
} VARAZ_SID2;

static VARAZ_SID2 g_systemSid = {
    SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
static VARAZ_SID2 g_adminsSid = {SID_REVISION,
                                 2,
                                 {SECURITY_NT_AUTHORITY},
                                 {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};

static NTSTATUS SecureDevice(PDEVICE_OBJECT device) {
  /* An ACL header and two allowed ACEs, each with its SID (SidStart is the
   * first 4 bytes of the SID). */
  ULONG aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) +
                  RtlLengthSid((PSID)&g_systemSid) + RtlLengthSid((PSID)&g_adminsSid);
  PACL acl = (PACL)ExAllocatePoolWithTag(PagedPool, aclSize, VARAZ_POOL_TAG);
  if (!acl) return STATUS_INSUFFICIENT_RESOURCES;
  SECURITY_DESCRIPTOR sd;
  NTSTATUS status = RtlCreateAcl(acl, aclSize, ACL_REVISION);
  if (NT_SUCCESS(status))
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)&g_systemSid);
  if (NT_SUCCESS(status))
    status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)&g_adminsSid);
  if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE);
  /* Set through a kernel handle to the device object, as a program sets an
   * object's security; the handle is closed at once. */
  HANDLE handle = NULL;
  if (NT_SUCCESS(status))
    status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, NULL, WRITE_DAC, NULL, KernelMode,
                                   &handle);
  if (NT_SUCCESS(status)) {
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &sd);
    ZwClose(handle);
  }
  ExFreePoolWithTag(acl, VARAZ_POOL_TAG);
  return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  UNICODE_STRING deviceName, link;
  PDEVICE_OBJECT device = NULL;
  RtlInitUnicodeString(&deviceName, kDeviceName);
  /* Secure open: the device's descriptor also guards every name below it
   * ("\\.\varaz\anything"), which would otherwise open unchecked. */
  NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  status = SecureDevice(device);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  RtlInitUnicodeString(&link, kLinkName);
  status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) {
    /* A failed load must not leave the device behind: the name would stay
     * taken until the system restarts. */
    IoDeleteDevice(device);
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->DriverUnload = DriverUnload;

  USBD_VERSION_INFORMATION version;
  RtlZeroMemory(&version, sizeof version);
  USBD_GetUSBDIVersion(&version);
  DbgPrint("ze Dor Entry 333 Ver %x Supported %x", version.USBDI_Version,
           version.Supported_USB_Version);
  return STATUS_SUCCESS;
}
