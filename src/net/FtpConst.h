#pragma once

#include <QByteArray>
#include <QString>

// The kind of operation that a command or download reports to OnSuccess, OnFailure and
// OnUnSupportedFunction. The numbers are part of the component's interface.
enum TCmdType : int {
    cmdChangeDir = 0,
    cmdMakeDir = 1,
    cmdDelete = 2,
    cmdRemoveDir = 3,
    cmdDownload = 8,
    cmdOther = 14,
    cmdPrintDir = 15,
};

namespace FtpConst {

// Command words as they go on the wire (the trailing blank belongs to the word).
inline constexpr char CmdUser[] = "USER ";
inline constexpr char CmdPass[] = "PASS ";
inline constexpr char CmdQuit[] = "QUIT";
inline constexpr char CmdPort[] = "PORT ";
inline constexpr char CmdRetr[] = "RETR ";
inline constexpr char CmdCwd[] = "CWD ";
inline constexpr char CmdDele[] = "DELE ";
inline constexpr char CmdMkd[] = "MKD ";
inline constexpr char CmdRmd[] = "RMD ";
inline constexpr char CmdPwd[] = "PWD";
inline constexpr char CmdType[] = "TYPE ";
inline constexpr char CmdTypeAscii[] = "TYPE A";
inline constexpr char CmdTypeImage[] = "TYPE I";
inline constexpr char CmdTypeLocal8[] = "TYPE L 8";

// Transfer type codes of SetTransferType.
inline constexpr int TypeAscii = 1;
inline constexpr int TypeImage = 2;
inline constexpr int TypeLocal8 = 3;

inline constexpr int DefaultPort = 21;

// Reply numbers and ranges that decide what a reply means to each operation.
inline constexpr int ReplyNeedPassword = 331;
inline constexpr int ReplyServiceClosing = 421;
inline constexpr int ReplyTransferAborted = 426;
inline constexpr int LoginFailFirst = 401;
inline constexpr int CommandFailFirst = 400;
inline constexpr int TransferFailFirst = 301;
inline constexpr int FailLast = 599;
inline constexpr int UnsupportedFirst = 500;
inline constexpr int UnsupportedLast = 502;

// Status texts.
inline constexpr char TextDisconnected[] = "Disconnected";
inline constexpr char TextReceived[] = "Received ";
inline constexpr char TextBytes[] = " Bytes";
inline constexpr char TextUnsafeName[] = "Invalid file name %1";
inline constexpr char TextUnsafeCommand[] = "Invalid command %1";
inline constexpr char TextShortTransfer[] = "Received %1 of %2 announced bytes";
inline constexpr char TextWrongSize[] = "Received %1 bytes; the file has %2";

// The word whose nearest preceding number is the announced transfer size.
inline constexpr char SizeWord[] = "BYTE";

// Milliseconds that the after-abort drain waits for the server's last words (1.1e-5 day).
inline constexpr int DrainMs = 950;
// Milliseconds within which the completion reply must come after a transfer failed.
inline constexpr int SettleMs = 2000;
// Milliseconds a whole reply may take: far beyond a slow link's round trip, and short enough
// that a server dribbling out continuation lines cannot hold a sign-in.
inline constexpr int ReplyMs = 10000;

// The transfer size announced in a reply line: the run of digits nearest before "BYTE"
// (any letter case), 0 when there is none.
qint64 ParseTransferSize(const QByteArray& line);

// The size a reply line states in the form "(N bytes)" (any letter case; the last such group,
// as a file name may hold one too), -1 when it states none. Unlike ParseTransferSize it never
// takes a number from a file or folder name such as "ByteTools".
qint64 AnnouncedSize(const QByteArray& line);

// The kind of operation of a command text: its first word compared exactly (letter case
// counts) with the directory and file commands, "PWD" only as the whole command.
TCmdType CommandType(const QString& command);

} // namespace FtpConst
