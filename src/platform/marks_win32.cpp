// The seam's marks for deletion on Win32: each made by a worker thread, so
// that another program's oplock can hold the tool up for a set time only.
#include "platform/native_win32.h"

namespace rt::platform {

namespace {

// Windows 10 1607 on; the headers hide it behind a later version.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Marks a file for deletion on a thread of its own, which may have to wait:
// another program's oplock on the file is broken first, and the call waits
// for that program to acknowledge the break, for ever if it never does. The
// worker is made once and kept; one that does not come back in time is left
// to its call, and the handle with it (never closed, so never another
// file's), and the next mark gets a new one.
struct Marker {
  HANDLE job;
  HANDLE done;
  HANDLE thread;
  HANDLE file;
  DWORD result;
};
constinit Marker* g_marker = nullptr;

// 0 or the system error code. The classic disposition, a byte, is the first
// of the newer one's flags.
DWORD Dispose(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
  return SetFileInformationByHandle(file, kind, &flags, sizeof flags) != FALSE ? 0 : GetLastError();
}

DWORD Mark(HANDLE file) {
  // POSIX semantics take the name away at once, even while another program
  // has the file open; where they are not offered, the classic way. A call
  // that was cancelled is not made again, and counts as given up on.
  DWORD error =
      Dispose(file, kFileDispositionInfoEx, FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS);
  if (error != 0 && error != ERROR_OPERATION_ABORTED) {
    error = Dispose(file, FileDispositionInfo, TRUE);
  }
  return error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : error;
}

DWORD WINAPI MarkEach(void* parameter) {
  auto* marker = static_cast<Marker*>(parameter);
  for (DWORD waited = WaitForSingleObject(marker->job, INFINITE); waited == WAIT_OBJECT_0;
       waited = SignalObjectAndWait(marker->done, marker->job, INFINITE, FALSE)) {
    marker->result = Mark(marker->file);
  }
  return 0;
}

// The worker, made on first use. Null when the system could not make it,
// with its last error set.
Marker* Worker() {
  if (g_marker == nullptr) {
    auto* marker = static_cast<Marker*>(Allocate(sizeof(Marker)));
    if (marker == nullptr) {
      OutOfMemory();
    }
    marker->job = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    marker->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // A small stack: it makes two calls.
    marker->thread = marker->job != nullptr && marker->done != nullptr
                         ? CreateThread(nullptr, 0x10000, MarkEach, marker, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                         : nullptr;
    g_marker = marker->thread != nullptr ? marker : nullptr;
  }
  return g_marker;
}

}  // namespace

void PrepareMarks() { Worker(); }

std::uint32_t MarkForDeletion(OpenFile& file, unsigned milliseconds) {
  Marker* marker = Worker();
  if (marker == nullptr) {
    return GetLastError();
  }
  marker->file = file.get();
  DWORD waited = SignalObjectAndWait(marker->job, marker->done, milliseconds, FALSE);
  if (waited != WAIT_OBJECT_0) {
    // Given up: the call cancelled, and the worker kept if it comes back.
    CancelSynchronousIo(marker->thread);
    waited = WaitForSingleObject(marker->done, milliseconds);
  }
  if (waited != WAIT_OBJECT_0) {
    g_marker = nullptr;
    file.release();
    return ERROR_TIMEOUT;
  }
  return marker->result;
}

}  // namespace rt::platform
