// The driver's run-time log: every line is printed on standard output and, by the routing rules,
// appended to the daily files in "runlog/" below the application path. A log file is written only
// when it is a regular file of the effective user with one link (never through a symbolic link);
// the files made here are 0640, the folder 0755.
#pragma once

#include <string>

#include "qv_export.h"

// The sink of every progress (force 0) and failure (force 1) line. file must not be NULL.
QV_EXPORT void write_error_log(const char* file, int line, std::string message, int force);
// A formatted line, appended to application path + "runlog_<date>.txt" only when that file exists.
QV_EXPORT void write_log_fileEx(const char* file, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A dated line in "runlog/<date>_logfile.txt"; nothing is printed.
QV_EXPORT void write_log_file(std::string message);
// Regular files named by the shell pattern dir + pattern (as "runlog/" + "*.txt").
QV_EXPORT int mu_file_cnt(std::string dir, std::string pattern);
// Deletes the oldest matching files of the effective user beyond their newest `keep`; returns how
// many were to go. Files of other users are left alone and not counted.
QV_EXPORT int mu_del_log(std::string dir, std::string pattern, int keep);
