// A copy of one source file, written under a temporary name in its target's directory and renamed over
// the target only by commit(). Until then the target is untouched; a client downloading it meanwhile
// gets the old file whole, and afterwards the new one whole.
#pragma once

#include <cstdint>
#include <string>

class staged_copy {
  public:
    staged_copy() = default;
    ~staged_copy();  // removes a temporary that was not committed
    staged_copy(const staged_copy&) = delete;
    staged_copy& operator=(const staged_copy&) = delete;

    // Copies source_dir/name (a regular file; a link is not followed) to a temporary for
    // target_dir/name, creating the directories it needs, hashes what it copies and syncs it to disk.
    // 1 on success; 0 after reporting why, with no temporary left behind.
    int stage(const std::string& source_dir, const std::string& target_dir, const std::string& name);

    // Renames the temporary over the target. 1 on success; 0 after reporting why.
    int commit();

    const std::string& name() const { return name_; }
    const std::string& target() const { return target_; }
    const std::string& hash() const { return hash_; }
    int32_t size() const { return size_; }

  private:
    int copy(int in, int out, int64_t expected_size, const std::string& source, const std::string& target);

    std::string name_;
    std::string target_;
    std::string temporary_;
    std::string hash_;
    int32_t size_ = 0;
};
