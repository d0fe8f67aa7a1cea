// The seam's marks for deletion on Win32: each made by a thread of its own,
// so that another program's oplock can hold the tool up for a set time only.
#include "platform/native_win32.h"

namespace rt::platform {

namespace {

// Windows 10 1607 on; the headers hide it behind a later version.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// How long a cancelled call is given to return. A cancel that takes ends the
// wait at once; one that does not is not worth a second deadline.
constexpr DWORD kCancelGrace = 250;

// 0 or the system error code. The classic disposition, a byte, is the first
// of the newer one's flags.
DWORD Dispose(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
  return SetFileInformationByHandle(file, kind, &flags, sizeof flags) != FALSE ? 0 : GetLastError();
}

// Marks the file for deletion by a handle of its own, which it closes once
// the call returns, and ends with the call's result. The call may have to
// wait: another program's oplock on the file is broken first, and the call
// waits for that program to acknowledge the break, for ever if it never
// does. A worker given up on is forgotten: its result reaches no one, and
// the handle it uses lives exactly as long as its call.
DWORD WINAPI MarkOne(void* file) {
  // POSIX semantics take the name away at once, even while another program
  // has the file open; where they are not offered, the classic way. A call
  // that was cancelled is not made again, and counts as given up on.
  DWORD error =
      Dispose(file, kFileDispositionInfoEx, FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS);
  if (error != 0 && error != ERROR_OPERATION_ABORTED) {
    error = Dispose(file, FileDispositionInfo, TRUE);
  }
  CloseHandle(file);
  return error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : error;
}

}  // namespace

std::uint32_t MarkForDeletion(OpenFile& file, unsigned& milliseconds) {
  const DWORD start = GetTickCount();
  const HANDLE process = GetCurrentProcess();
  OpenFile own;
  OpenFile worker;
  DWORD error = ERROR_TIMEOUT;
  if (DuplicateHandle(process, file.get(), process, own.receive(), 0, FALSE, DUPLICATE_SAME_ACCESS) != FALSE) {
    // A small stack: it makes two calls.
    worker.reset(CreateThread(nullptr, 0x10000, MarkOne, own.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  }
  if (worker.get() == nullptr) {
    return GetLastError();
  }
  // The worker's now, to close when its call returns.
  own.release();
  if (WaitForSingleObject(worker.get(), milliseconds) != WAIT_OBJECT_0) {
    CancelSynchronousIo(worker.get());
  }
  if (WaitForSingleObject(worker.get(), kCancelGrace) == WAIT_OBJECT_0) {
    GetExitCodeThread(worker.get(), &error);
  }
  const DWORD spent = GetTickCount() - start;
  milliseconds = spent < milliseconds ? milliseconds - spent : 0;
  return error;
}

}  // namespace rt::platform
