// Logging and fatal exits.
//
// Every report of the program passes through here: one line per event, to
// standard error ("NAME[PID]: MESSAGE\n", written in one piece and flushed)
// or to the system log, chosen once by log_open(). Messages carry their own
// area prefix ("warn: queue-api: ..."); this module adds only the line layout
// and, where asked, the error text.
//
// Single-threaded: the flags and the fatal message buffer are process-wide
// and unguarded. No function here fails towards its caller; write errors on
// standard error are ignored, and a write to a reader that has gone or past
// the file-size limit loses its line without raising SIGPIPE or SIGXFSZ.
// Logging leaves errno as it found it.
#pragma once

#include <cstdarg>

// Chooses the destination for the rest of the process: nonzero means standard
// error, 0 the system log (opened as LOG_PID | LOG_NDELAY, facility LOG_MAIL).
// Also initialises the time-zone data, so that confinement cannot hide it.
void log_open(int foreground);

// Sets the verbosity mask that log_detail() and log_trace() consult.
void log_set_verbose(int mask);

// Logs one line at a syslog priority; the priority is not shown on stderr.
void log_write(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_vwrite(int priority, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));

// LOG_CRIT: warnings, and the cause line before a fatal exit.
void log_warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// LOG_CRIT: the message, ": " and strerror(errno) as read on entry. A null
// fmt logs the error text alone.
void log_warning_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// LOG_INFO.
void log_note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// LOG_DEBUG, only when bit 1 of the verbosity mask is set.
void log_detail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// LOG_DEBUG, only when mask shares a bit with the verbosity mask.
void log_trace(int mask, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Logs "fatal: MESSAGE" at LOG_CRIT and returns. The message is cut to 1023
// characters; ": strerror(errno)" follows when errno was nonzero on entry. A
// null fmt logs the error text alone, even for errno 0.
void log_vfatal(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// The fatal line with errno's text, then exit(1).
[[noreturn]] void die_errno(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The fatal line without error text (errno is cleared first), then exit(1).
[[noreturn]] void die(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
