// The seam's marks for deletion on Win32: each made by a worker thread, so
// that another program's oplock can hold the tool up for a set time only.
#include "platform/native_win32.h"

namespace rt::platform {

namespace {

// Windows 10 1607 on; the headers hide it behind a later version.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// How long a cancelled call is given to return. A cancel that takes ends the
// wait at once; one that does not is not worth a second deadline.
constexpr DWORD kCancelGrace = 250;

// Files are marked for deletion on a thread of their own, which may have to
// wait: another program's oplock on a file is broken first, and the call
// waits for that program to acknowledge the break, for ever if it never
// does. The worker is made while the question is up and kept, takes each file
// from g_file. One whose call does not return in time is given up: the
// tool takes the file back from g_file and forgets the worker, which finds
// its file gone from there when its call returns, so it closes the handle
// and ends, its result reaching no one. Until then that handle stays open,
// so no other file can have its number. The next mark gets a new worker;
// the two events serve every worker, as only one ever waits on them.
constinit HANDLE g_job = nullptr;
constinit HANDLE g_done = nullptr;
constinit HANDLE g_worker = nullptr;
constinit void* volatile g_file = nullptr;
constinit DWORD g_result = 0;

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

DWORD WINAPI MarkEach(void* /*unused*/) {
  for (DWORD waited = WaitForSingleObject(g_job, INFINITE); waited == WAIT_OBJECT_0;
       waited = SignalObjectAndWait(g_done, g_job, INFINITE, FALSE)) {
    HANDLE file = g_file;
    const DWORD result = Mark(file);
    if (InterlockedCompareExchangePointer(&g_file, nullptr, file) != file) {
      // Given up on: the handle is this call's alone.
      CloseHandle(file);
      break;
    }
    g_result = result;
  }
  return 0;
}

// The events and the worker, each made once: false where one cannot be,
// the last error its own (what was made is kept for the next mark).
bool MakeWorker() {
  const auto made = [](HANDLE& handle) {
    return handle != nullptr || (handle = CreateEventW(nullptr, FALSE, FALSE, nullptr)) != nullptr;
  };
  // A small stack: it makes two calls.
  return made(g_job) && made(g_done) &&
         (g_worker != nullptr || (g_worker = CreateThread(nullptr, 0x10000, MarkEach, nullptr,
                                                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)) != nullptr);
}

}  // namespace

void PrepareMarks() { MakeWorker(); }

std::uint32_t MarkForDeletion(OpenFile& file, unsigned& milliseconds) {
  if (!MakeWorker()) {
    return GetLastError();
  }
  const DWORD start = GetTickCount();
  g_file = file.get();
  DWORD waited = SignalObjectAndWait(g_job, g_done, milliseconds, FALSE);
  if (waited != WAIT_OBJECT_0) {
    CancelSynchronousIo(g_worker);
    waited = WaitForSingleObject(g_done, kCancelGrace);
  }
  DWORD result = ERROR_TIMEOUT;
  if (waited != WAIT_OBJECT_0 && InterlockedCompareExchangePointer(&g_file, nullptr, file.get()) == file.get()) {
    // Still in its call, which may yet use the handle: the worker's now.
    CloseHandle(g_worker);
    g_worker = nullptr;
    file.release();
  } else {
    if (waited != WAIT_OBJECT_0) {
      // Its call returned just now: its result is on the way.
      WaitForSingleObject(g_done, INFINITE);
    }
    result = g_result;
  }
  const DWORD spent = GetTickCount() - start;
  milliseconds = spent < milliseconds ? milliseconds - spent : 0;
  return result;
}

}  // namespace rt::platform
