#pragma once

#include <QtGlobal>

// The bootstrap phase that starts every transfer, download and upload alike: the boot byte, the
// target's identification, the loader and the program, all over RS-232. TransferSession runs it;
// these are its bytes and its one shared wait.
namespace Bootstrap {

constexpr quint8 BootByte = 0x00;
// Identification bytes of the target's bootstrap loader; any other value is an invalid target.
constexpr quint8 TargetIdC5 = 0xC5;
constexpr quint8 TargetIdD5 = 0xD5;
constexpr quint8 LoaderStarted = 0x01;
constexpr quint8 ProgramStarted = 0xAA;

// The wait for the program's start, unless a protocol sets its own.
constexpr int ProgramStartTimeoutMs = 5000;

} // namespace Bootstrap
