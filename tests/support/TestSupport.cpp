#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vtr::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vtrtest-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(interval);
    }
    return true;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::string readFilesIn(const std::string& directory) {
    std::string text;
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(directory, missing))
        text += readFile(entry.path().string());
    return text;
}

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

void CapturingLogDestination::logMessage(const VTRLogMessage& message) {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
}

std::vector<VTRLogMessage> CapturingLogDestination::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<std::string> CapturingLogDestination::texts() const {
    std::vector<std::string> texts;
    for (const auto& message : messages()) texts.push_back(message.text);
    return texts;
}

ScopedLogCapture::ScopedLogCapture() : destination_(std::make_shared<CapturingLogDestination>()) {
    VTRLog::addDestination(destination_);
}

ScopedLogCapture::~ScopedLogCapture() {
    VTRLog::flush();
    VTRLog::removeDestination(destination_);
}

bool ScopedLogCapture::contains(const std::string& text) {
    return std::ranges::any_of(texts(), [&](const std::string& t) { return t == text; });
}

bool ScopedLogCapture::containsPart(const std::string& part) {
    return std::ranges::any_of(
        texts(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

std::vector<std::string> ScopedLogCapture::texts() {
    VTRLog::flush();
    return destination_->texts();
}

uint16_t unusedLoopbackPort() {
    uint16_t port = 0;
    int fd = listenOnLoopback(&port);
    if (fd >= 0) ::close(fd);
    return port;
}

int listenOnLoopback(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace vtr::test
