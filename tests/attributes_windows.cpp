#include "attributes.h"

FileAttributes attributes_of(const std::string&) { return {}; }
void make_private(const std::string&) {}
void give_default_acl(const std::string&) {}
FileAttributes under_default_acl() { return {}; }
