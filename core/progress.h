// Progress of a call, reported to the host as it goes; the host may answer
// "cancel". The frame knows the host's callback and its calling convention,
// so it fills in `call`, an adapter, and keeps the host's function in `proc`.
#pragma once

struct ProgressSink {
    // 0 from the host means the user cancelled.
    int (*call)(const ProgressSink& sink, const char* name, int size) = nullptr;
    void (*proc)() = nullptr;
};

// Tells the host that `size` more bytes of `name` are done. False when the
// host asks to cancel; true when there is nobody to tell.
inline bool reportProgress(const ProgressSink* sink, const char* name, int size) {
    return !sink || !sink->call || !sink->proc || sink->call(*sink, name, size) != 0;
}

// Tells the host that `percent` (1 to 100) of the whole call is done, as a
// negative size. For calls whose host keeps no byte total: Double Commander
// divides the bytes of a delete by a total it leaves at 0.
inline bool reportPercent(const ProgressSink* sink, const char* name, int percent) {
    return reportProgress(sink, name, -(percent < 1 ? 1 : percent > 100 ? 100 : percent));
}
