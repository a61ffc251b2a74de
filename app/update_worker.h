#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>

// What the window hands to the worker: the completion signal that the
// window's thread waits on. The pointees live in the waiting paint handler;
// the record itself is the worker's to free.
struct WorkerRecord {
    std::mutex* mutex;
    std::condition_variable* done;
    bool* finished;
};

// The worker thread's body: runs the update, shows and logs a failed
// result, then signals completion. Always signals, whatever happens.
DWORD WINAPI UpdateWorker(LPVOID record);

// The worker's last act: marks the update finished and wakes the waiter.
void SignalCompletion(const WorkerRecord& record);

// Waits, holding lock on record's mutex, until the worker has signalled. A
// signal given before the wait began ends it at once; a wake-up without a
// signal does not end it.
void WaitForCompletion(const WorkerRecord& record, std::unique_lock<std::mutex>& lock);
