// The optional symbolic link to the terminal (--link), for programs that
// expect a fixed port name.
#pragma once

#include <string>

namespace kx::sim::posix {

// Replaces an existing symbolic link, never anything else; false after
// printing why.
bool make_link(const std::string& link, const std::string& target);

// Removes the link only while it still points at `target`.
void remove_link(const std::string& link, const std::string& target);

}  // namespace kx::sim::posix
