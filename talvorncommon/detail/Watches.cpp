#include "talvorncommon/detail/Watches.h"

#include <sys/inotify.h>

#include <cerrno>

namespace TalvornCommon::detail {

void Watches::Register(const void* owner, void* client) {
  std::lock_guard<std::mutex> lock(mutex_);
  registered_[owner].client = client;
}

void Watches::Retire(const void* owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = registered_.find(owner);
  if (found == registered_.end()) return;
  const std::set<int> watches = std::move(found->second.watches);
  registered_.erase(found);
  for (const int watch : watches) {
    const auto entry = entries_.find(watch);
    if (entry != entries_.end()) Leave(entry, owner);
  }
}

int Watches::Add(const void* owner, const std::string& path, uint32_t mask, uint32_t flags,
                 bool remote) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (registered_.count(owner) == 0) break;
    const uint64_t since = changes_;
    const uint64_t instance = instances_;
    ++adding_;
    lock.unlock();
    // The path is looked up by the kernel, which may wait for a server that
    // does not answer.
    const int watch =
        ::inotify_add_watch(instance_.load(), path.c_str(), mask | flags | IN_MASK_ADD);
    const int error = errno;
    lock.lock();
    const auto met = changed_.find(watch);
    const bool again = met != changed_.end() && met->second > since;
    if (--adding_ == 0) changed_.clear();
    if (instance != instances_) break;
    if (watch < 0) {
      errno = error;
      return -1;
    }
    if (again) continue;
    const auto entry = entries_.try_emplace(watch).first;
    entry->second.flags = flags;
    entry->second.kernel |= mask;
    entry->second.remote |= remote;
    Ask& ask = entry->second.owners[owner];
    Recount(entry->second, ask, ask.mask | mask);
    ask.path = path;
    const auto registered = registered_.find(owner);
    if (registered != registered_.end()) {
      ask.client = registered->second.client;
      registered->second.watches.insert(watch);
      return watch;
    }
    // Retired meanwhile: what it added goes, unless others ask it too.
    Leave(entry, owner);
    break;
  }
  errno = ECANCELED;
  return -1;
}

bool Watches::Set(const void* owner, int watch, const std::string& path, uint32_t mask,
                  uint32_t flags, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  // Dropped by the kernel, whose event follows, or the owner has retired.
  if (entry == entries_.end()) return false;
  const auto ask = entry->second.owners.find(owner);
  if (ask == entry->second.owners.end()) return false;
  Recount(entry->second, ask->second, mask);
  ask->second.path = path;
  return Apply(watch, entry->second, path, flags, force);
}

void Watches::Release(const void* owner, int watch) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  if (entry != entries_.end()) Leave(entry, owner);
}

void Watches::Look(const void* owner, int watch, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  if (entry == entries_.end()) return;
  const auto ask = entry->second.owners.find(owner);
  if (ask == entry->second.owners.end() || !ask->second.names.emplace(name).second) return;
  entry->second.names[std::string(name)][owner] = ask->second.client;
}

void Watches::Keep(const void* owner, int watch, const Names& names) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  if (entry == entries_.end()) return;
  const auto ask = entry->second.owners.find(owner);
  if (ask == entry->second.owners.end()) return;
  Names& looked = ask->second.names;
  for (auto name = looked.begin(); name != looked.end();) {
    if (names.count(*name) != 0) {
      ++name;
      continue;
    }
    Forget(entry->second, *name, owner);
    name = looked.erase(name);
  }
  for (const std::string& name : names) {
    if (looked.insert(name).second) entry->second.names[name][owner] = ask->second.client;
  }
}

void Watches::ClientsOf(int watch, std::string_view name, std::vector<void*>& clients) const {
  clients.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  if (entry == entries_.end()) return;
  // An owner leaves every entry as it retires: each one here is registered.
  if (name.empty()) {
    for (const auto& [owner, ask] : entry->second.owners) clients.push_back(ask.client);
    return;
  }
  const auto looking = entry->second.names.find(name);
  if (looking == entry->second.names.end()) return;
  for (const auto& [owner, client] : looking->second) clients.push_back(client);
}

void Watches::Dropped(int watch) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = entries_.find(watch);
  if (entry == entries_.end()) return;
  for (const auto& [owner, ask] : entry->second.owners) {
    const auto registered = registered_.find(owner);
    if (registered != registered_.end()) registered->second.watches.erase(watch);
  }
  entries_.erase(entry);
}

void Watches::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  for (auto& [owner, registered] : registered_) registered.watches.clear();
  ++instances_;
}

void Watches::Changed(int watch) {
  if (adding_ > 0) changed_[watch] = ++changes_;
}

void Watches::Recount(Entry& entry, Ask& ask, uint32_t mask) {
  if (ask.mask == mask) return;
  const auto before = entry.masks.find(ask.mask);
  if (before != entry.masks.end() && --before->second == 0) entry.masks.erase(before);
  ask.mask = mask;
  if (mask != 0) ++entry.masks[mask];
}

void Watches::Forget(Entry& entry, const std::string& name, const void* owner) {
  const auto looking = entry.names.find(name);
  if (looking == entry.names.end()) return;
  looking->second.erase(owner);
  if (looking->second.empty()) entry.names.erase(looking);
}

void Watches::Leave(std::map<int, Entry>::iterator entry, const void* owner) {
  const auto ask = entry->second.owners.find(owner);
  if (ask == entry->second.owners.end()) return;
  Recount(entry->second, ask->second, 0);
  for (const std::string& name : ask->second.names) Forget(entry->second, name, owner);
  entry->second.owners.erase(ask);
  const auto registered = registered_.find(owner);
  if (registered != registered_.end()) registered->second.watches.erase(entry->first);
  if (entry->second.owners.empty()) {
    ::inotify_rm_watch(instance_.load(), entry->first);
    Changed(entry->first);
    entries_.erase(entry);
  }
  // Otherwise the kernel's mask stays as wide as it is, until an owner sets
  // it again after a walk of its own: narrowing it here would ask for the
  // watch by another owner's path, which a far file system mounted since may
  // lead through, and hold the lock, and the Stop that takes it, for as long
  // as that server is silent. What no owner asks brings records none takes.
}

bool Watches::Apply(int watch, Entry& entry, const std::string& path, uint32_t flags, bool force) {
  uint32_t wanted = 0;
  for (const auto& [mask, owners] : entry.masks) wanted |= mask;
  // A path through a far file system is never asked under the lock: its mask
  // stays as wide as it grew, which brings records that no way takes.
  if ((wanted == entry.kernel && !force) || entry.remote) return true;
  // Without IN_MASK_ADD: the mask may narrow. Another inode found at the path
  // is not watched unless some way watches it already.
  const int found = ::inotify_add_watch(instance_.load(), path.c_str(), wanted | flags);
  Changed(watch);
  if (found == watch) {
    entry.kernel = wanted;
    return true;
  }
  if (found >= 0 && entries_.count(found) == 0) {
    ::inotify_rm_watch(instance_.load(), found);
    Changed(found);
  }
  return false;
}

}  // namespace TalvornCommon::detail
