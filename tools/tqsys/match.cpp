// tqsys match: a text against a wildcard pattern or a list of them.
#include "commands.h"

namespace tqsys {

int cmd_match(const args &a)
{
	const bool listed = !a.list.empty();
	if (listed == (a.words.size() == 2))
		throw usage_error("match: give either PATTERN or --list LIST");
	if (!listed && (a.all || a.invert))
		throw usage_error("match: --all and --invert go with --list");
	const std::string &text = a.words[0];
	const int case_sensitive = a.ignore_case ? 0 : 1;
	json doc = {{"text", text}};
	int hit;
	if (listed) {
		hit = tq_multimatching(text.c_str(), a.list.c_str(), a.all, a.invert, case_sensitive);
		doc["list"] = a.list, doc["all"] = a.all, doc["invert"] = a.invert;
	} else {
		hit = tq_matchingstring(text.c_str(), a.words[1].c_str(), case_sensitive);
		doc["pattern"] = a.words[1];
	}
	doc["ignore_case"] = a.ignore_case, doc["match"] = hit == 1;
	emit(a, doc, hit == 1 ? "match\n" : "no match\n");
	return hit == 1 ? exit_ok : exit_no;
}

} // namespace tqsys
