// The file checks of a dataset check: every image probed and every
// annotation file parsed, on a pool of threads. Python-free; the progress
// callback runs on the calling thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "darknet/image_probe.hpp"
#include "darknet/labels.hpp"

namespace kx::darknet {

struct LabelCheck {
    bool readable = false;
    std::string error;  // why it could not be read
    Labels labels;
};

// Probes `images` and parses `annotations` (full paths) with `rules`, on
// `threads` threads (0: one per core). `progress(done)` is called on the
// calling thread about every `interval_ms` and once at the end, with the
// number of files finished so far. When it throws, the workers stop after the file in hand
// and the exception goes on to the caller.
void check_files(const std::vector<std::string>& images, const std::vector<std::string>& annotations,
                 const LabelRules& rules, std::vector<ImageProbe>* image_results,
                 std::vector<LabelCheck>* annotation_results, const std::function<void(std::size_t)>& progress,
                 unsigned threads = 0, int interval_ms = 100);

}  // namespace kx::darknet
