// The launchd job written with libplist.

#include <plist/plist.h>

#include <memory>
#include <stdexcept>

#include "platform/property_list.h"

namespace ampervale::platform {

namespace {

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

// libplist writes the entries as they were set; CoreFoundation sorts them by
// key. Setting them in that order makes both files the same document.
Plist BuildDictionary(const LaunchJob& job) {
  Plist dictionary(plist_new_dict());
  plist_t arguments = plist_new_array();
  for (const std::string& argument : job.program_arguments) {
    plist_array_append_item(arguments, plist_new_string(argument.c_str()));
  }
  plist_dict_set_item(dictionary.get(), kKeepAliveKey,
                      plist_new_bool(job.keep_alive));
  plist_dict_set_item(dictionary.get(), kLabelKey,
                      plist_new_string(job.label.c_str()));
  plist_dict_set_item(dictionary.get(), kProgramArgumentsKey, arguments);
  plist_dict_set_item(dictionary.get(), kRunAtLoadKey,
                      plist_new_bool(job.run_at_load));
  plist_dict_set_item(dictionary.get(), kThrottleIntervalKey,
                      plist_new_uint(job.throttle_interval));
  return dictionary;
}

}  // namespace

std::string LaunchJobXML(const LaunchJob& job) {
  Plist dictionary = BuildDictionary(job);
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dictionary.get(), &xml, &length);
  if (xml == nullptr) {
    throw std::runtime_error("Cannot serialize the launchd job description");
  }
  std::string text(xml, length);
  plist_to_xml_free(xml);
  return text;
}

}  // namespace ampervale::platform
