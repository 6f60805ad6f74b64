#pragma once

#include <QStringList>

#include <vector>

// One benchmark run of a program in a process of its own.
struct Run {
    double seconds = 0;
    double cpuSeconds = 0; // user and system: comparable on a loaded machine, unlike seconds
    long peakKiB = 0;
    bool ok = false;
};

// Starts a program, waits for it and returns its wall and processor time and peak resident
// memory, the latter sampled every millisecond while it runs.
Run Measure(const QStringList& command);

// The run of median wall time, with the median processor time and the highest peak memory of
// all runs.
Run Median(std::vector<Run> runs);
