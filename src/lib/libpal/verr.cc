#include "libpal/verr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "liblog/log2.h"

// Order matters: lookups scan from the top and stop at the closing entry.
const verr_msg verr_msg_table[] = {
    {0, "Success."},
    {-1, "General failure - DON'T USE THIS!!!."},
    {-2, "Invalid parameter."},
    {-3, "Invalid magic or cookie."},
    {-4, "Invalid handle."},
    {-5, "Failed to lock the address range."},
    {-6, "Invalid memory pointer."},
    {-7, "Failed to patch the IDT."},
    {-8, "Memory allocation failed."},
    {-9, "Already loaded."},
    {-10, "Permission denied."},
    {-11, "Version mismatch."},
    {-12, "The request function is not implemented."},
    {-13, "Invalid flags was given."},
    {-18, "Not equal."},
    {-19, "The specified path does not point at a symbolic link."},
    {-20, "Failed to allocate temporary memory."},
    {-21, "Invalid file mode mask (RTFMODE)."},
    {-22, "Incorrect call order."},
    {-23, "There is no TLS (thread local storage) available for storing the current thread."},
    {-24,
     "Failed to set the TLS (thread local storage) entry which points to our thread structure."},
    {-26, "Not able to allocate contiguous memory."},
    {-27, "No memory available for page table or page directory."},
    {-28, "Already initialized."},
    {-29, "The specified thread is dead."},
    {-30, "The specified thread is not waitable."},
    {-31, "Pagetable not present."},
    {-32, "Invalid context. Typically an API was used by the wrong thread."},
    {-33, "The per process timer is busy."},
    {-34, "Address conflict."},
    {-35, "Unresolved (unknown) host platform error."},
    {-36, "Invalid function."},
    {-37, "Not supported."},
    {-38, "Access denied."},
    {-39, "Call interrupted."},
    {-40, "Timeout."},
    {-41, "Buffer too small to save result."},
    {-42, "Data size overflow."},
    {-43, "Max threads number reached."},
    {-44, "Max process number reached."},
    {-45, "The recipient process has refused the signal."},
    {-46, "A signal is already pending."},
    {-47, "The signal being posted is not correct."},
    {-48, "The state changed. This is a generic error message and needs a context to make sense."},
    {-49, "Error while parsing UUID string."},
    {-50, "The specified process was not found."},
    {-51, "The process specified to a non-block wait had not exited."},
    {-52, "Retry the operation."},
    {-53, "Generic parse error."},
    {-54, "Value out of range."},
    {-55, "A numeric conversion encountered a value which was too big for the target."},
    {-56, "The number begin converted (string) contained no digits."},
    {-57, "Encountered a '-' during conversion to an unsigned value."},
    {-58, "Error while characters translation (unicode and so)."},
    {-59,
     "Encountered unicode code point which is reserved for use as endian indicator (0xffff or "
     "0xfffe)."},
    {-60, "Encountered unicode code point in the surrogate range (0xd800 to 0xdfff)."},
    {-61, "A string claiming to be UTF-8 is incorrectly encoded."},
    {-62, "A string claiming to be in UTF-16 is incorrectly encoded."},
    {-63, "Encountered a unicode code point which cannot be represented as UTF-16."},
    {-64, "Got an out of memory condition trying to allocate a string."},
    {-65, "Got an out of memory condition trying to allocate a UTF-16 (/UCS-2) string."},
    {-66, "Get an out of memory condition trying to allocate a code point array."},
    {-67, "Can't free the memory because it's used in mapping."},
    {-68, "The timer can't be started because it's already active."},
    {-69, "The timer can't be stopped because it's already suspended."},
    {-70, "The operation was cancelled by the user (copy) or another thread (local ipc)."},
    {-71, "Failed to initialize a memory object. Exactly what this means is OS specific."},
    {-72, "Out of memory condition when allocating memory with low physical backing."},
    {-73, "Out of memory condition when allocating physical memory (without mapping)."},
    {-74, "The address (virtual or physical) is too big."},
    {-75, "Failed to map a memory object."},
    {-76, "Trailing characters."},
    {-77, "Trailing spaces."},
    {-78, "Generic not found error."},
    {-79, "Generic invalid state error."},
    {-80, "Generic out of resources error."},
    {-81, "No more handles available, too many open handles."},
    {-82,
     "Preemption is disabled. The requested operation can only be performed when preemption is "
     "enabled."},
    {-83, "End of string."},
    {-84, "A page count is out of range."},
    {-85, "Generic object destroyed status."},
    {-86, "Generic dangling objects status."},
    {-87, "Invalid Base64 encoding."},
    {-88, "Return instigated by a callback or similar."},
    {-89, "Authentication failure."},
    {-90, "Not a power of two."},
    {-91, "Status code, typically given as a parameter, that isn't supposed to be used."},
    {-92, "Concurrent access to the object is not allowed."},
    {-93,
     "The caller does not have a reference to the object. This status is used when two threads is "
     "caught sharing the same object reference."},
    {-95, "Generic no change error."},
    {-96, "Out of memory condition when allocating executable memory."},
    {-97, "The alignment is not supported."},
    {-98, "Duplicate something."},
    {-99, "Something is missing."},
    {-100, "Unresolved (unknown) file i/o error."},
    {-101, "File/Device open failed."},
    {-102, "File not found."},
    {-103, "Path not found."},
    {-104, "Invalid (malformed) file/path name."},
    {-105, "The object in question already exists."},
    {-106, "Too many open files."},
    {-107, "Seek error."},
    {-108, "Seek below file start."},
    {-109, "Trying to seek on device."},
    {-110, "Reached the end of the file."},
    {-111, "Generic file read error."},
    {-112, "Generic file write error."},
    {-113, "Write protect error."},
    {-114, "Sharing violation, file is being used by another process."},
    {-115, "Unable to lock a region of a file."},
    {-116, "File access error, another process has locked a portion of the file."},
    {-117, "File or directory can't be created."},
    {-118, "Directory can't be deleted."},
    {-119, "Can't move file to another disk."},
    {-120, "The filename or extension is too long."},
    {-121, "Media not present in drive."},
    {-122, "The type of media was not recognized. Not formatted?."},
    {-123, "Can't unlock - region was not locked."},
    {-124, "Unrecoverable error: lock was lost."},
    {-125, "Can't delete directory with files."},
    {-126, "A directory operation was attempted on a non-directory object."},
    {-127, "A non-directory operation was attempted on a directory object."},
    {-128, "Tried to grow a file beyond the limit imposed by the process or the filesystem."},
    {-129, "No pending request the aio context has to wait for completion."},
    {-130,
     "The request could not be canceled or prepared for another transfer because it is still in "
     "progress."},
    {-131, "The request could not be canceled because it already completed."},
    {-132, "The I/O context couldn't be destroyed because there are still pending requests."},
    {-133,
     "The requests couldn't be submitted because that would exceed the capacity of the context."},
    {-134, "The request was canceled."},
    {-135, "The request wasn't submitted so it can't be canceled."},
    {-136, "A request was not prepared and thus could not be submitted."},
    {-137, "Not all requests could be submitted due to resource shortage."},
    {-138, "Device or resource is busy."},
    {-139, "A file operation was attempted on a non-file object."},
    {-140, "A non-file operation was attempted on a file object."},
    {-141, "Unexpected filesystem object type."},
    {-142, "A path does not start with a root specification."},
    {-143, "A path is relative, expected an absolute path."},
    {-144, "A path is not relative (start with root), expected an relative path."},
    {-145, "Zero length path."},
    {-146,
     "There are not enough events available on the host to create the I/O context. This exact "
     "meaning is host platform dependent."},
    {-147, "Invalid file head data."},
    {-148, "Invalid file baby data."},
    {-149, "The specified file is read only."},
    {-150, "Unresolved (unknown) disk i/o error."},
    {-151, "Invalid drive number."},
    {-152, "Disk is full."},
    {-153, "Disk was changed."},
    {-154, "Drive is locked."},
    {-155, "The specified disk or diskette cannot be accessed."},
    {-156, "Too many symbolic links."},
    {-157, "The OS does not support setting the time stamps on a symbolic link."},
    {-158, "The OS does not support changing the owner of a symbolic link."},
    {-159, "Symbolic link not allowed."},
    {-200, "Unresolved (unknown) search error."},
    {-201, "No more files found."},
    {-202, "No more search handles available."},
    {203, "RTDirReadEx() failed to retrieve the extra data which was requested."},
    {-225, "Internal error - this should never happen."},
    {-226, "Internal error no. 2."},
    {-227, "Internal error no. 3."},
    {-228, "Internal error no. 4."},
    {-229, "Internal error no. 5."},
    {-230, "Internal error: Unexpected status code."},
    {-231, "Internal error: Unexpected status code."},
    {-232, "Internal error: Unexpected status code."},
    {-233, "Internal error: Uninitialized status code. @remarks This is used by value elsewhere."},
    {-234, "Internal error: Supposedly unreachable default case in a switch."},
    {-250, "Device i/o error."},
    {-251, "Device i/o: Bad unit."},
    {-252, "Device i/o: Not ready."},
    {-253, "Device i/o: Bad command."},
    {-254, "Device i/o: CRC error."},
    {-255, "Device i/o: Bad length."},
    {-256, "Device i/o: Sector not found."},
    {-257, "Device i/o: General failure."},
    {-258, "Device i/o: No such device or address."},
    {-300, "Unresolved (unknown) pipe i/o error."},
    {-301, "Broken pipe."},
    {-302, "Bad pipe."},
    {-303, "Pipe is busy."},
    {-304, "No data in pipe."},
    {-305, "Pipe is not connected."},
    {-306, "More data available in pipe."},
    {-307, "Expected read pipe, got a write pipe instead."},
    {-308, "Expected write pipe, got a read pipe instead."},
    {-350, "Unresolved (unknown) semaphore error."},
    {-351, "Too many semaphores."},
    {-352, "Exclusive semaphore is owned by another process."},
    {-353, "The semaphore is set and cannot be closed."},
    {-354, "The semaphore cannot be set again."},
    {-355, "Attempt to release mutex not owned by caller."},
    {-356, "The semaphore has been opened too many times."},
    {-357, "The maximum posts for the event semaphore has been reached."},
    {-358, "The event semaphore has already been posted."},
    {-359, "The event semaphore has already been reset."},
    {-360, "The semaphore is in use."},
    {-361, "The previous ownership of this semaphore has ended."},
    {-362, "Failed to open semaphore by name - not found."},
    {-363, "Semaphore destroyed while waiting."},
    {-364, "Nested ownership requests are not permitted for this semaphore type."},
    {-365, "Deadlock detected."},
    {-366, "Ping-Pong listen or speak out of turn error."},
    {-367, "Tried to take a semaphore in a bad context."},
    {-368, "Wrong locking order detected."},
    {-369, "Wrong release order detected."},
    {-370, "Attempt to recursively enter a non-recursive lock."},
    {-371, "Invalid parameters passed to the lock validator."},
    {-372, "The lock validator detected a deadlock."},
    {-373,
     "The lock validator detected an existing deadlock. The deadlock was not caused by the current "
     "operation, but existed already."},
    {-374, "Not the lock owner according our records."},
    {-375, "An illegal lock upgrade was attempted."},
    {-376, "The thread is not a valid signaller of the event."},
    {-377, "Internal error in the lock validator or related components."},
    {-400, "Unresolved (unknown) network error."},
    {-401, "The network is busy or is out of resources."},
    {-402, "Net host name not found."},
    {-403, "Network path not found."},
    {-404, "General network printing error."},
    {-405, "The machine is not on the network."},
    {-406, "Name is not unique on the network."},
    {-436, "Operation in progress."},
    {-437, "Operation already in progress."},
    {-438, "Attempted socket operation with a non-socket handle. (This includes closed handles.)."},
    {-439, "Destination address required."},
    {-440, "Message too long."},
    {-441, "Protocol wrong type for socket."},
    {-442, "Protocol not available."},
    {-443, "Protocol not supported."},
    {-444, "Socket type not supported."},
    {-445, "Operation not supported."},
    {-446, "Protocol family not supported."},
    {-447, "Address family not supported by protocol family."},
    {-448, "Address already in use."},
    {-449, "Can't assign requested address."},
    {-450, "Network is down."},
    {-451, "Network is unreachable."},
    {-452, "Network dropped connection on reset."},
    {-453, "Software caused connection abort."},
    {-454, "Connection reset by peer."},
    {-455, "No buffer space available."},
    {-456, "Socket is already connected."},
    {-457, "Socket is not connected."},
    {-458, "Can't send after socket shutdown."},
    {-459, "Too many references: can't splice."},
    {-460, "Too many references: can't splice."},
    {-461, "Connection refused."},
    {-464, "Host is down."},
    {-465, "No route to host."},
    {-466, "Protocol error."},
    {-467, "Incomplete packet was submitted by guest."},
    {-600, "Invalid executable signature."},
    {-608, "Bad executable."},
    {-609, "Symbol (export) not found."},
    {-610, "Module not found."},
    {-619, "Code signing error."},
    {-901,
     "This indicates that the process does not have sufficient privileges to perform the "
     "operation."},
    {-902, "An account is restricted in a certain way."},
    {0, nullptr},
};

const size_t verr_msg_count = sizeof(verr_msg_table) / sizeof(verr_msg_table[0]) - 1;

const char* verr2str(verr code) {
    for (const verr_msg* entry = verr_msg_table; entry->msg != nullptr; ++entry) {
        if (entry->code == code) return entry->msg;
    }
    DV_LOG("pal", LOG_DBG, "Invalid errno=%d (0x%x)\n", code, static_cast<unsigned>(code));
    return "Invalid error code";
}

namespace {

// One status code and the errno values that fold into it; the first is the one it maps back to.
struct errno_row {
    verr code;
    std::initializer_list<int> errnos;
};

const errno_row errno_rows[] = {
    {-2, {EINVAL, EDOM, ERANGE}},
    {-4, {EBADF, EBADFD}},
    {-6, {EFAULT}},
    {-8, {ENOMEM}},
    {-36, {ENOTTY}},
    {-37, {ENOSYS}},
    {-38, {EPERM, EACCES}},
    {-39, {EINTR, ERESTART}},
    {-40, {ETIMEDOUT}},
    {-42, {E2BIG, EOVERFLOW}},
    {-50, {ESRCH, ECHILD}},
    {-52, {EAGAIN, EWOULDBLOCK}},
    {-58, {EILSEQ}},
    {-102, {ENOENT, ENODEV}},
    {-103, {ENOTDIR}},
    {-105, {EEXIST}},
    {-106, {EMFILE, ENFILE}},
    {-109, {ESPIPE}},
    {-113, {EROFS}},
    {-114, {ETXTBSY}},
    {-115, {ENOLCK}},
    {-119, {EXDEV}},
    {-120, {ENAMETOOLONG}},
    {-121, {ENOMEDIUM}},
    {-122, {EMEDIUMTYPE}},
    {-125, {ENOTEMPTY}},
    {-127, {EISDIR}},
    {-128, {EFBIG}},
    {-138, {EBUSY}},
    {-152, {ENOSPC, EDQUOT}},
    {-156, {ELOOP}},
    {-250, {EIO}},
    {-258, {ENXIO}},
    {-301, {EPIPE}},
    {-304, {ENODATA}},
    {-365, {EDEADLK}},
    {-405, {ENONET}},
    {-406, {ENOTUNIQ}},
    {-436, {EINPROGRESS}},
    {-437, {EALREADY}},
    {-438, {ENOTSOCK}},
    {-439, {EDESTADDRREQ}},
    {-440, {EMSGSIZE}},
    {-441, {EPROTOTYPE}},
    {-442, {ENOPROTOOPT}},
    {-443, {EPROTONOSUPPORT}},
    {-444, {ESOCKTNOSUPPORT}},
    {-445, {EOPNOTSUPP}},
    {-446, {EPFNOSUPPORT}},
    {-447, {EAFNOSUPPORT}},
    {-448, {EADDRINUSE}},
    {-449, {EADDRNOTAVAIL}},
    {-450, {ENETDOWN}},
    {-451, {ENETUNREACH}},
    {-452, {ENETRESET}},
    {-453, {ECONNABORTED}},
    {-454, {ECONNRESET}},
    {-455, {ENOBUFS}},
    {-456, {EISCONN}},
    {-457, {ENOTCONN}},
    {-458, {ESHUTDOWN}},
    {-459, {ETOOMANYREFS}},
    {-461, {ECONNREFUSED}},
    {-464, {EHOSTDOWN}},
    {-465, {EHOSTUNREACH}},
    {-466, {EPROTO}},
    {-608, {ENOEXEC}},
};

}  // namespace

verr os_verr_get(int eno) {
    if (eno == 0) return VERR_SUCCESS;
    for (const errno_row& row : errno_rows) {
        for (int candidate : row.errnos) {
            if (candidate == eno) return row.code;
        }
    }
    DV_LOG("pal", LOG_WARN, "unkown eno=%d\n", eno);
    return VERR_GENERAL_FAILURE;
}

verr os_errno_verr(verr fallback) {
    const int eno = errno;
    if (eno == 0) return fallback;
    const verr code = os_verr_get(eno);
    errno = eno;  // the warning for an unmapped errno may have changed it
    return code;
}

int verr_2_posix(verr code) {
    switch (code) {
        case VERR_SUCCESS:
            return 0;
        case VERR_GENERAL_FAILURE:
            return EPERM;
        case VERR_NOT_SUPPORTED:
            // ENOSYS folds into this code, but callers expect "operation not supported" back.
            return EOPNOTSUPP;
        case VERR_DEV_NOT_READY:
            return ENXIO;
        default:
            break;
    }
    for (const errno_row& row : errno_rows) {
        if (row.code == code) return *row.errnos.begin();
    }
    DV_LOG("pal", LOG_WARN, "unkown verrno = %d\n", code);
    return EPERM;
}

int os_set_errno_verr(verr code) {
    int eno = verr_2_posix(code);
    errno = eno;
    return eno;
}

void err_info_set(err_info* record, const char* file, uint32_t line, const char* function,
                  verr code, const char* fmt, ...) {
    if (record == nullptr) return;
    record->file = file;
    record->line = line;
    record->function = function;
    record->code = code;
    record->msg[0] = '\0';
    if (fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    vsnprintf(record->msg, sizeof(record->msg), fmt, args);
    va_end(args);
}

void err_info_fail(err_info* record, const char* tag, const char* file, uint32_t line,
                   const char* function, verr code, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    log2_printf(nullptr, LOG_ERR, tag, file, static_cast<int>(line), function, "%s", text.c_str());
    err_info_set(record, file, line, function, code, "%s", text.c_str());
}

void err_info_set_detail(err_info* record, const char* file, uint32_t line, const char* function,
                         verr code, const char* detail, const char* fmt, ...) {
    if (record == nullptr) return;
    record->file = file;
    record->line = line;
    record->function = function;
    record->code = code;
    record->msg[0] = '\0';
    if (detail == nullptr) detail = "";
    if (fmt == nullptr) {
        snprintf(record->msg, sizeof(record->msg), "%s", detail);
        return;
    }
    va_list args;
    va_start(args, fmt);
    vsnprintf(record->msg, sizeof(record->msg), fmt, args);
    va_end(args);
    size_t used = strlen(record->msg);
    // Both appends are bounded by the field: a long text is cut, never overrun.
    snprintf(record->msg + used, sizeof(record->msg) - used, ": %s", detail);
}

const char* err_info_str(const err_info* record) {
    if (record == nullptr) return "";
    if (record->msg[0] != '\0') return record->msg;
    return verr2str(record->code);
}

void err_info_copy(err_info* dst, const err_info* src) {
    if (dst == nullptr || src == nullptr || dst == src) return;
    dst->file = src->file;
    dst->function = src->function;
    dst->line = src->line;
    dst->code = src->code;
    size_t length = strnlen(src->msg, sizeof(src->msg) - 1);
    memcpy(dst->msg, src->msg, length);
    dst->msg[length] = '\0';
}

void err_info_clear(err_info* record) {
    if (record == nullptr) return;
    record->file = nullptr;
    record->function = nullptr;
    record->line = 0;
    record->code = VERR_SUCCESS;
    record->msg[0] = '\0';
}
