// A shared work counter over a fixed set of files; the caller's thread
// reports progress while the workers run, and a report that throws stops them.
#include "darknet/check.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace kx::darknet {

void check_files(const std::vector<std::string>& images, const std::vector<std::string>& annotations,
                 const LabelRules& rules, std::vector<ImageProbe>* image_results,
                 std::vector<LabelCheck>* annotation_results, const std::function<void(std::size_t)>& progress,
                 unsigned threads, int interval_ms) {
    const std::size_t total = images.size() + annotations.size();
    image_results->assign(images.size(), ImageProbe());
    annotation_results->assign(annotations.size(), LabelCheck());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;

    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < total;) {
            if (i < images.size()) {
                (*image_results)[i] = probe_image(images[i]);
            } else {
                const std::size_t k = i - images.size();
                LabelCheck& out = (*annotation_results)[k];
                out.readable = read_labels(annotations[k], rules, &out.labels, &out.error);
            }
            if (done.fetch_add(1) + 1 == total) {
                std::lock_guard<std::mutex> lock(mutex);
                finished.notify_all();
            }
        }
    };

    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, total)));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the rest
        }
    }
    if (pool.empty()) work();
    try {
        std::unique_lock<std::mutex> lock(mutex);
        while (done.load() < total) {
            finished.wait_for(lock, std::chrono::milliseconds(interval_ms));
            lock.unlock();
            progress(done.load());
            lock.lock();
        }
    } catch (...) {
        // A report that throws (the caller stopping the check) ends the work: the workers
        // finish the file in hand and take no other.
        next.store(total);
        for (std::thread& worker : pool) worker.join();
        throw;
    }
    for (std::thread& worker : pool) worker.join();
    progress(done.load());
}

}  // namespace kx::darknet
