#include "status.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;
using Row = std::vector<std::string>;

bool ReadAll(const std::string& path, std::string* text) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "veltraclient: %s: path too long\n", path.c_str());
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "veltraclient: %s: %s\n", path.c_str(), std::strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

std::string Cell(const Json& value) {
    if (value.is_null()) return "-";
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

// The columns are the fields of the first object, in their order, so that new fields show up.
void PrintTable(const std::vector<Json>& objects) {
    Row header;
    for (const auto& item : objects.front().items()) header.push_back(item.key());
    std::vector<Row> rows{header};
    for (const Json& object : objects) {
        Row row;
        for (const std::string& key : header) {
            row.push_back(object.contains(key) ? Cell(object[key]) : "-");
        }
        rows.push_back(row);
    }
    std::vector<size_t> widths(header.size(), 0);
    for (const Row& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const Row& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

}  // namespace

std::string StatusSocketPath(const char* path, const char* port) {
    if (path != nullptr) return path;
    const char* variable = std::getenv("VELTRABOX_STATUS_SOCKET");
    if (variable != nullptr && *variable != '\0') return variable;
    return std::string("/run/veltrabox/") + (port != nullptr ? port : "49152") + ".sock";
}

int ShowStatus(const std::string& path, bool raw) {
    std::string text;
    if (!ReadAll(path, &text)) return 1;
    if (raw) {
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    std::vector<Json> objects;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        Json object = Json::parse(line, nullptr, false);
        if (!object.is_object()) {
            std::fprintf(stderr, "veltraclient: not a status line: %s\n", line.c_str());
            return 1;
        }
        objects.push_back(std::move(object));
    }
    if (!objects.empty()) PrintTable(objects);
    return 0;
}
