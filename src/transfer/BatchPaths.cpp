#include "transfer/BatchPaths.h"

#include "transfer/RelativePath.h"

BatchPaths::Verdict BatchPaths::Add(const std::vector<std::string>& components, bool isFolder) {
    std::string exact;
    std::vector<std::pair<std::string, std::string>> missing;  // folded, exact
    for (size_t i = 0; i < components.size(); ++i) {
        if (i > 0) {
            exact += '/';
        }
        exact += components[i];
        const bool last = i + 1 == components.size();
        const std::string folded = relative_path::FoldCase(exact);
        const auto found = entries_.find(folded);
        if (found == entries_.end()) {
            missing.emplace_back(folded, exact);
            continue;
        }
        if (found->second.exact != exact) {
            return Verdict::CaseTwin;
        }
        if (!last && !found->second.isFolder) {
            return Verdict::ThroughFile;
        }
        if (last) {
            return isFolder && found->second.isFolder ? Verdict::Again : Verdict::Taken;
        }
    }
    for (size_t i = 0; i < missing.size(); ++i) {
        const bool last = i + 1 == missing.size();
        bytes_ += missing[i].second.size();
        entries_.emplace(std::move(missing[i].first),
                         Entry{std::move(missing[i].second), !last || isFolder});
    }
    return Verdict::New;
}
