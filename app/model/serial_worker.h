#pragma once

// One thread that runs jobs one after another in the order they were posted: the serial queue of one
// core object. Any thread may post; the owner (one thread) stops it.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace halvex::app {

class SerialWorker {
  public:
    // Called with false to do the work, or with true when the worker stopped before the job ran: the job
    // then only reports that it was abandoned.
    using Job = std::function<void(bool abandoned)>;

    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(Job job);
    // Triggered by stop(); jobs pass it to the operations they run.
    std::stop_token stopToken() const { return stop_.get_token(); }
    // Triggers the stop token, waits for the running job, and abandons the queued ones (and any posted
    // later) on the calling thread.
    void stop();

  private:
    void run();

    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace halvex::app
