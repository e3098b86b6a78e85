#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "attributes.h"

namespace {

// An ACL in the system's form: the owner owner_perm, user 1234 r, the group
// none, mask r, others none.
std::string acl_with_reader(unsigned owner_perm) {
  const unsigned char entries[][8] = {{1, 0, static_cast<unsigned char>(owner_perm), 0, 255, 255, 255, 255},
                                      {2, 0, 4, 0, 0xD2, 0x04, 0, 0},
                                      {4, 0, 0, 0, 255, 255, 255, 255},
                                      {0x10, 0, 4, 0, 255, 255, 255, 255},
                                      {0x20, 0, 0, 0, 255, 255, 255, 255}};
  std::string acl("\x02\x00\x00\x00", 4);
  for (const auto& entry : entries) acl.append(reinterpret_cast<const char*>(entry), 8);
  return acl;
}

}  // namespace

FileAttributes attributes_of(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return {};
  char acl[8192];
  const auto n = lgetxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
  return {info.st_mode & 07777u, static_cast<long>(info.st_gid),
          n > 0 ? std::string(acl, static_cast<std::size_t>(n)) : ""};
}

void make_private(const std::string& path) {
  chmod(path.c_str(), 0600);
  if (geteuid() == 0) chown(path.c_str(), static_cast<uid_t>(-1), 4242);
  const std::string acl = acl_with_reader(6);
  setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
}

FileAttributes under_default_acl() {
  return {0640, static_cast<long>(getegid()), acl_with_reader(6)};
}

void give_default_acl(const std::string& folder) {
  const std::string acl = acl_with_reader(7);
  setxattr(folder.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0);
}
