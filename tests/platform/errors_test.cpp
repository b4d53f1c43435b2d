// The errno translation: a socket call, a device call and any other call read some errnos
// differently, and each kind prefers its own numbers.
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

using win::detail::ErrnoFrom;
using win::detail::ErrorOfErrno;

TEST(Errors, EachKindOfCallPrefersItsOwnNumbers) {
    EXPECT_EQ(ErrorOfErrno(EBADF, ErrnoFrom::Call), win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(ErrorOfErrno(EBADF, ErrnoFrom::Socket), static_cast<win::DWORD>(win::WSAEBADF));
    // Only a Winsock number stands for it: other calls take that one too.
    EXPECT_EQ(ErrorOfErrno(ECONNRESET, ErrnoFrom::Call),
              static_cast<win::DWORD>(win::WSAECONNRESET));
    EXPECT_EQ(ErrorOfErrno(EDOM, ErrnoFrom::Call), win::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ErrorOfErrno(EDOM, ErrnoFrom::Socket), static_cast<win::DWORD>(win::WSAEINVAL));
}

TEST(Errors, SpecialCasesHoldForTheirKindOfCallOnly) {
    // A send to a vanished peer.
    EXPECT_EQ(ErrorOfErrno(EPIPE, ErrnoFrom::Socket), static_cast<win::DWORD>(win::WSAECONNRESET));
    EXPECT_EQ(ErrorOfErrno(EPIPE, ErrnoFrom::Call), win::ERROR_BROKEN_PIPE);
    // A terminal whose device went away.
    EXPECT_EQ(ErrorOfErrno(EIO, ErrnoFrom::Device), win::ERROR_DEV_NOT_EXIST);
    EXPECT_EQ(ErrorOfErrno(EIO, ErrnoFrom::Call), win::ERROR_WRITE_FAULT);
    EXPECT_EQ(ErrorOfErrno(ENOTTY, ErrnoFrom::Device), win::ERROR_FILE_NOT_FOUND);
}
