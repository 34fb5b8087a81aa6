//! The two system calls std does not wrap: `poll`, so the reader thread can
//! wait for the executor's output and for its own stop at once, and `setsid`,
//! so the executor is out of reach of signals aimed at the caller's terminal.

use std::io;
use std::os::raw::{c_int, c_short};
use std::os::unix::io::RawFd;

#[repr(C)]
struct PollFd {
    fd: c_int,
    events: c_short,
    revents: c_short,
}

#[cfg(any(target_os = "linux", target_os = "android"))]
type PollCount = std::os::raw::c_ulong;
#[cfg(not(any(target_os = "linux", target_os = "android")))]
type PollCount = std::os::raw::c_uint;

const POLLIN: c_short = 0x1;
const POLLERR: c_short = 0x8;
const POLLHUP: c_short = 0x10;

extern "C" {
    fn poll(fds: *mut PollFd, count: PollCount, timeout: c_int) -> c_int;
    fn setsid() -> c_int;
}

/// Which of two descriptors has something to read (data, end of file or an
/// error), waiting for as long as it takes.
pub(crate) fn wait_readable(first: RawFd, second: RawFd) -> io::Result<(bool, bool)> {
    let mut fds = [
        PollFd { fd: first, events: POLLIN, revents: 0 },
        PollFd { fd: second, events: POLLIN, revents: 0 },
    ];
    loop {
        // SAFETY: `fds` is a valid array of two pollfd records for the call's duration.
        let ready = unsafe { poll(fds.as_mut_ptr(), 2, -1) };
        if ready >= 0 {
            let hit = |fd: &PollFd| fd.revents & (POLLIN | POLLERR | POLLHUP) != 0;
            return Ok((hit(&fds[0]), hit(&fds[1])));
        }
        let err = io::Error::last_os_error();
        if err.kind() != io::ErrorKind::Interrupted {
            return Err(err);
        }
    }
}

/// Makes the calling process the leader of a new session. Called in the
/// executor's child between fork and exec, where only async-signal-safe
/// calls are allowed; `setsid` is one.
pub(crate) fn new_session() -> io::Result<()> {
    // SAFETY: setsid takes no arguments and touches no memory of ours.
    if unsafe { setsid() } == -1 {
        return Err(io::Error::last_os_error());
    }
    Ok(())
}
