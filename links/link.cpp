#include "links/link.h"

#include "links/link_settings.h"

namespace kestrel {

void UsePort(Link& link, TPort& port, int timeoutMs) {
  link.port = link.line.port = &port;
  link.working = true;
  link.line.timeoutMs = timeoutMs;
}

std::string SectionName(const Link& link) { return LinkSectionOf(link.name); }

bool LinkUp(const Link& link) { return link.working && link.port->IsOpen(); }

}  // namespace kestrel
