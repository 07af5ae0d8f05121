#include "redis_store/pipeline.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

#include "executor/os_thread.hpp"

namespace quellgate::redis_store {

namespace {

constexpr std::size_t kIoThreadStack = 256 * 1024;
// Bounds one write, and so how long the requests queued behind it wait.
constexpr std::size_t kLongestBatch = 512;

struct Request {
  Command command;
  Deadline deadline;
  ReplyCallback done;
};

}  // namespace

struct Pipeline::State {
  explicit State(RedisAddress where) : address(std::move(where)) {}

  const RedisAddress address;

  std::mutex mutex;  // guards the three below; never held across I/O or a callback
  std::condition_variable work_arrived;
  std::vector<Request> queue;
  bool started = false;
  bool stopping = false;

  std::unique_ptr<Connection> connection;  // touched by the I/O thread only

  void run_loop();
  void serve(std::vector<Request>& batch);
  void fail_all(std::vector<Request>& requests, const StoreError& error);
};

void Pipeline::State::fail_all(std::vector<Request>& requests, const StoreError& error) {
  for (auto& request : requests) request.done(std::unexpected(error));
  requests.clear();
}

void Pipeline::State::serve(std::vector<Request>& batch) {
  const auto now = std::chrono::steady_clock::now();
  std::vector<Request> live;
  live.reserve(batch.size());
  Deadline deadline = Deadline::max();
  for (auto& request : batch) {
    if (request.deadline <= now) {
      request.done(std::unexpected(storage_error(address, "no reply in time: the request waited behind others")));
      continue;
    }
    deadline = std::min(deadline, request.deadline);
    live.push_back(std::move(request));
  }
  batch.clear();
  if (live.empty()) return;
  if (connection && !connection->idle_and_healthy()) connection.reset();
  if (!connection) {
    auto opened = Connection::open(address, deadline);
    if (!opened) return fail_all(live, opened.error());
    connection = std::move(*opened);
  }
  std::vector<Command> commands;
  commands.reserve(live.size());
  for (auto& request : live) commands.push_back(std::move(request.command));
  auto outcomes = connection->run(commands, deadline);
  if (connection->broken()) connection.reset();  // the next batch reconnects
  for (std::size_t i = 0; i < live.size(); ++i) live[i].done(std::move(outcomes[i]));
}

void Pipeline::State::run_loop() {
  std::vector<Request> batch;
  for (;;) {
    {
      std::unique_lock lock(mutex);
      work_arrived.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) break;
      const auto take = std::min(queue.size(), kLongestBatch);
      batch.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.begin() + take));
      queue.erase(queue.begin(), queue.begin() + take);
    }
    serve(batch);
  }
  std::vector<Request> left;
  {
    const std::lock_guard lock(mutex);
    left.swap(queue);
  }
  fail_all(left, storage_error(address, "the store was closed before this request was sent"));
}

Pipeline::Pipeline(RedisAddress address) : state_(std::make_shared<State>(std::move(address))) {}

Pipeline::~Pipeline() {
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work_arrived.notify_one();
}

void Pipeline::submit(Command command, std::chrono::milliseconds timeout, ReplyCallback done) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool start = false;
  {
    const std::lock_guard lock(state_->mutex);
    state_->queue.push_back(Request{std::move(command), deadline, std::move(done)});
    start = !state_->started;
    state_->started = true;
  }
  if (!start) {
    state_->work_arrived.notify_one();
    return;
  }
  // The thread owns the state with the pipeline, so it may outlive it.
  auto started = executor::start_os_thread("quellgate-redis", kIoThreadStack, [state = state_] { state->run_loop(); });
  if (!started) {
    std::vector<Request> stranded;
    {
      const std::lock_guard lock(state_->mutex);
      stranded.swap(state_->queue);
      state_->started = false;
    }
    state_->fail_all(stranded, storage_error(state_->address, "cannot start the I/O thread: " +
                                                                   executor::os_error_text(started.error())));
  }
}

}  // namespace quellgate::redis_store
