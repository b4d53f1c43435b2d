// Points the registry (VELTRABOX_REGISTRY) at a temporary file with the given .reg text for the
// life of the object.
#pragma once

#include <string>

class ScopedRegistry {
  public:
    explicit ScopedRegistry(const std::string& text);
    ~ScopedRegistry();
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    // Replaces the file's text (same path).
    void Write(const std::string& text);
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_;
};
