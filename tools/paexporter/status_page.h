// The status page: one HTML document with its style and script, nothing fetched from elsewhere.
#ifndef PAEXPORTER_STATUS_PAGE_H
#define PAEXPORTER_STATUS_PAGE_H

namespace paexporter {

extern const char *const kStatusPage;

}  // namespace paexporter

#endif  // PAEXPORTER_STATUS_PAGE_H
