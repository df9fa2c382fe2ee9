// Calls that touch a device (an open, a read, a query), made on a worker thread that the scan
// waits for no longer than the device timeout. A failing disk, a hung USB bridge or a network
// block device that lost its server can block such a call for minutes or for ever; the scan then
// leaves the call behind with its worker, says so, and goes on with the next drive or letter.
//
// A call that was left behind may still finish later, on its own thread: everything it touches
// must be its own (values captured by value, buffers held through shared pointers), and a handle
// whose call was left behind is never closed. The functions here are called from the scanning
// thread alone.
#ifndef TVX_PLATFORM_DEVICE_WORKER_H_
#define TVX_PLATFORM_DEVICE_WORKER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// The seconds a device call is waited for when TVX_TIMEOUT does not say otherwise, and the
/// whole numbers TVX_TIMEOUT may give.
constexpr uint32_t kDefaultDeviceTimeout = 20;
constexpr uint32_t kShortestDeviceTimeout = 1;
constexpr uint32_t kLongestDeviceTimeout = 3600;

/// Returns the seconds that `text` (TVX_TIMEOUT's value) gives in `seconds`, and true; false,
/// leaving `seconds` as it is, unless `text` is a whole number from 1 to 3600 written in decimal
/// digits alone: no sign, no blank, no leading zero, no unit.
bool ParseDeviceTimeout(const std::string& text, uint32_t& seconds);

/// Sets the seconds each device call is waited for; values outside 1 to 3600 are brought inside.
void SetDeviceTimeout(uint32_t seconds);

/// Returns the seconds each device call is waited for (20 until SetDeviceTimeout says otherwise).
uint32_t DeviceTimeout();

/// Starts the turn of the next drive or letter: the calls made from here on are about it.
void BeginDeviceTurn();

/// Runs `call` on the device worker thread and waits for it at most DeviceTimeout() seconds.
/// Returns true once it has returned: what it did is then seen here, and GetLastError gives the
/// code it left. Returns false when it did not return in time: its worker is abandoned with the
/// call still running, and the next call gets a fresh worker; false at once, without a call,
/// when a call of the same turn was abandoned before. When no thread can be started, the call is
/// made on the calling thread, without a deadline.
bool RunDeviceCall(std::function<void()> call);

/// Ends the run's device work and returns `status` for main to return, after stopping the idle
/// worker: the process then ends as any other does. When a call was abandoned, ends the process
/// at once with `status` instead (EndWithBlockedCalls), and never returns.
int32_t EndDeviceWork(int32_t status);

/// Returns the system's number of the calling thread, by which EndWithBlockedCalls finds it
/// (the thread id on Windows; 0 on Linux, where nothing needs it).
uint64_t CurrentThreadNumber();

/// Ends the process with `status` while the threads numbered `blocked` are still in device
/// calls: on Windows their I/O is cancelled (CancelSynchronousIo) and ExitProcess ends the rest;
/// on Linux the terminal gets its mode back, standard output and error are closed and _exit ends
/// the process (a read held in the kernel's uninterruptible sleep keeps the process until the
/// device gives up). Never returns.
[[noreturn]] void EndWithBlockedCalls(int32_t status, const std::vector<uint64_t>& blocked);

#endif  // TVX_PLATFORM_DEVICE_WORKER_H_
