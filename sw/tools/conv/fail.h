// SPDX-License-Identifier: MIT
//
// The one way a run fails: a message on standard error, then status 1.
#ifndef QUADFLIP_FAIL_H
#define QUADFLIP_FAIL_H

// Ends the run with status 1 after the message "op: " and the text of
// errno, or of why.  The clean-up set with on_fail runs first.
[[noreturn]] void fail(const char *op);
[[noreturn]] void fail_because(const char *op, const char *why);

// Ends an in-place run: another program changed the file while it was
// converted.
[[noreturn]] void fail_changed();

// Ends an in-place run whose replacement left a file beside the file,
// under name: the file's old data, with the result in the file's place
// (old), or another file that had taken the file's place (other).
[[noreturn]] void fail_left_old(const char *name);
[[noreturn]] void fail_left_other(const char *name);

// Sets what runs before a failure ends the run, replacing any set before;
// nullptr sets nothing.  It must not fail itself.
void on_fail(void (*cleanup)());

#endif
