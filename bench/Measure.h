#pragma once

#include <QStringList>

#include <vector>

// One benchmark run of a program in a process of its own.
struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Starts a program, waits for it and returns its wall time and peak resident memory, the
// latter sampled every millisecond while it runs.
Run Measure(const QStringList& command);

// The run of median time, with the highest peak memory of all runs.
Run Median(std::vector<Run> runs);
