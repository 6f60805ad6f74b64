#pragma once

#include <QString>

// The socket error table: codes in the numbering of the Windows socket interface, so that the
// texts stay the same on every platform.
namespace SockErrors {

constexpr int WouldBlock = 10035;
constexpr int MessageTooLong = 10040;
constexpr int NotConnected = 10057;
constexpr int HostNotFound = 11001;
constexpr int NoRecovery = 11003;
constexpr int NoData = 11004;

// The table code of a POSIX errno value; a value without a row keeps its own number.
int codeFromErrno(int err);
// Empty for 0, "code:message" for a code in the table, else "Unknown Error No. " + code.
QString text(int code);

} // namespace SockErrors
