// A fork for children that only make async-signal-safe calls until they exec
// or exit.
#pragma once

#include <sys/types.h>

namespace zelta {

/// Forks without running the handlers registered with pthread_atfork and
/// without the C library's own preparation of its locks for the child (the
/// C library's _Fork where it has one, fork elsewhere): less work on both
/// sides and fewer pages written, so fewer of them copied once shared. The
/// child may then use nothing that takes a lock of the C library (malloc,
/// stdio): only async-signal-safe calls. Returns as fork does.
pid_t bare_fork();

}  // namespace zelta
