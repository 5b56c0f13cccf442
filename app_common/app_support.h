// Services the two pages share: the debug output, the hand-off of work to the
// main thread, and the display of a failure that leaves a window handler.
#pragma once

#include <exception>
#include <functional>
#include <string>

class QObject;

// The logs of every front-end keep their last this many lines, so peers that
// keep talking cannot make them grow without end.
inline constexpr int kMaxLogLines = 100000;

// The folder of the program's own executable, and its file name. Any thread.
std::string ExecutableFolder();
std::string ExecutableName();

// Writes one line to the debug output: standard error unless a sink is set. Any thread.
// Lines reach standard error whole and in order, in batches: within 20 ms, or at
// exit, or when FlushDebugOutput is called.
void OutputDebugString(const std::u16string& line);
// The same for a line already in UTF-8, which reaches standard error unconverted.
void OutputDebugString(std::string Utf8Line);
// Writes the lines still gathering to standard error now. Any thread.
void FlushDebugOutput();
// Replaces the debug output (tests, benchmarks); an empty function restores standard error.
void SetDebugOutputSink(std::function<void(const std::u16string&)> sink);

// Queues work to run on the main thread, after everything queued before it,
// without waiting. Dropped if context is destroyed before it runs. Any thread.
void PostToMainThread(QObject* context, std::function<void()> work);

// Makes TThread::Synchronize run procedures on the Qt main thread and wait.
// Call once on the main thread after the application object exists.
void InstallMainThreadSynchronize();

// The text of a failure, as shown to the operator.
std::u16string ExceptionText(const std::exception_ptr& e);

// Runs a window handler; a failure that leaves it goes to showError instead of
// ending the program. Returns false when the handler failed.
bool RunHandler(const std::function<void()>& handler,
                const std::function<void(const std::u16string&)>& showError);
