#pragma once
// Reads a password for `murel`: from a terminal with echo switched off, or one line from a pipe or
// file. The buffer is reserved up front so no reallocation leaves a copy behind; every failure
// path wipes what was read.

#include <csignal>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace murel {

inline constexpr std::size_t kMaxPasswordBytes = 1024;

// The password could not be read; what() is one line for the user.
class PasswordInputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stop flag was raised while waiting for the password (the terminal's echo is restored first).
class PasswordInterrupted : public std::runtime_error {
public:
    PasswordInterrupted() : std::runtime_error("Interrupted") {}
};

// When `input` is a terminal: writes `prompt` to `promptFd`, switches echo off on `input` (keeping
// the newline echo), reads one line and restores the terminal's settings on every path. Otherwise
// reads one line (or everything up to end of file) from `input` and writes no prompt.
// A trailing "\n" or "\r\n" is dropped. Fails on an empty password, on more than
// kMaxPasswordBytes bytes, on a NUL byte and on read errors. When `interrupted` is given, the wait
// ends with PasswordInterrupted soon after the flag is raised (by a SIGINT/SIGTERM handler),
// whether or not the signal arrived during a blocking call.
std::string readPassword(int input, int promptFd, std::string_view prompt,
                         const volatile std::sig_atomic_t* interrupted = nullptr);

}  // namespace murel
