// Registry of thread names, keyed by kernel thread id.

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "liblog/log2.h"
#include "log_internal.h"

namespace {

constexpr size_t kNameMax = 64;

std::mutex registry_mutex;
// Created on first registration and released by log2_exit; heap-held so that no destructor runs
// at process exit while other threads may still log.
std::unordered_map<uint64_t, std::string>* registry = nullptr;

uint16_t time_checksum(uint64_t ns) {
    return static_cast<uint16_t>(ns ^ (ns >> 16) ^ (ns >> 32) ^ (ns >> 48));
}

bool suffix_taken(const std::string& candidate) {
    for (const auto& [tid, name] : *registry) {
        if (name == candidate) return true;
    }
    return false;
}

}  // namespace

uint64_t os_thread_id() {
    return static_cast<uint64_t>(syscall(SYS_gettid));
}

int os_thread_name_set(const char* name) {
    if (name == nullptr || name[0] == '\0') return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ns = static_cast<uint64_t>(now.tv_sec) * 1000000000ull + now.tv_nsec;
    uint16_t digits = time_checksum(ns);
    std::string base(name, strnlen(name, kNameMax));
    uint64_t tid = os_thread_id();

    std::lock_guard<std::mutex> lock(registry_mutex);
    if (registry == nullptr) registry = new std::unordered_map<uint64_t, std::string>();
    registry->erase(tid);
    // Two threads registering the same name in the same tick would otherwise look alike.
    char full[kNameMax + 8];
    for (int tries = 0; tries < 0x10000; ++tries, ++digits) {
        snprintf(full, sizeof(full), "%s_%04x", base.c_str(), static_cast<unsigned>(digits));
        if (!suffix_taken(full)) break;
    }
    (*registry)[tid] = full;
    return 0;
}

char* os_thread_name_get(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return buf;
    uint64_t tid = os_thread_id();
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (registry != nullptr) {
        auto found = registry->find(tid);
        if (found != registry->end()) {
            snprintf(buf, size, "%s_%" PRIu64, found->second.c_str(), tid);
            return buf;
        }
    }
    snprintf(buf, size, "%" PRIu64, tid);
    return buf;
}

int os_thread_name_del() {
    uint64_t tid = os_thread_id();
    std::lock_guard<std::mutex> lock(registry_mutex);
    if (registry == nullptr || registry->erase(tid) == 0) return -1;
    return 0;
}

void log_thread_registry_release() {
    std::lock_guard<std::mutex> lock(registry_mutex);
    delete registry;
    registry = nullptr;
}
