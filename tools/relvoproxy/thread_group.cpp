#include "tools/relvoproxy/thread_group.h"

#include <exception>
#include <string>
#include <system_error>

#include "Common/assert.h"
#include "Common/log.h"

namespace relvoproxy {

ThreadGroup::~ThreadGroup() { JoinAll(); }

bool ThreadGroup::Spawn(const char* tag, std::function<void()> work) {
  std::list<Member> ended;
  auto done = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto m = members_.begin(); m != members_.end();) {
      const auto current = m++;
      if (current->done->load()) ended.splice(ended.end(), members_, current);
    }
    try {
      std::thread thread([tag = std::string(tag), work = std::move(work), done] {
        SetThreadTag(tag.c_str());
        try {
          work();
        } catch (const std::exception& e) {
          LogError("%s", e.what());
        } catch (...) {
          libmo::Detail::AssertFailNoExceptionImpl("relvoproxy::ThreadGroup::Spawn", "tools/relvoproxy/thread_group",
                                                   __LINE__);
        }
        done->store(true);
      });
      members_.push_back(Member{std::move(thread), done});
    } catch (const std::system_error& e) {
      LogError("cannot start a thread: %s", e.what());
      done.reset();
    }
  }
  for (Member& m : ended) m.thread.join();
  return done != nullptr;
}

void ThreadGroup::JoinAll() {
  for (;;) {
    std::list<Member> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(members_);
    }
    if (all.empty()) return;
    for (Member& m : all) m.thread.join();
  }
}

size_t ThreadGroup::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return members_.size();
}

}  // namespace relvoproxy
