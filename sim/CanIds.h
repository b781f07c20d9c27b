#pragma once

#include <QtGlobal>

// Identifiers of the CAN messages between the tool and the target programs.
namespace CanIds {

constexpr quint32 Command = 0x63F; // tool: erase, region request, block header, requests
constexpr quint32 DownData[4] = {0x23F, 0x33F, 0x43F, 0x53F}; // tool: block bytes 0..31
constexpr quint32 Reply = 0x5BF; // device: one status byte
constexpr quint32 UpData[4] = {0x1BF, 0x2BF, 0x3BF, 0x4BF}; // device: batch bytes 0..31

// Status bytes on Reply.
constexpr quint8 Erased = 0x33;
constexpr quint8 BlockOk = 0x55;
constexpr quint8 CompareError = 0x5A;
constexpr quint8 Failed = 0xA5;
constexpr quint8 Done = 0xAA; // programming finished; region accepted (upload)
constexpr quint8 BatchComplete = 0x20;
constexpr quint8 NoMoreData = 0x00;

constexpr int WholeFlashEnd = 19;

} // namespace CanIds
