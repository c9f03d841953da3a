#include "reports.h"

#include <gtest/gtest.h>

namespace syslib_test {

report_capture::report_capture() { tqrt_set_observer(&report_capture::observe, this); }
report_capture::~report_capture() { tqrt_set_observer(nullptr, nullptr); }

void report_capture::observe(const tqrt_record *rec, void *ctx)
{
	auto *self = static_cast<report_capture *>(ctx);
	std::lock_guard<std::mutex> guard(self->lock_);
	self->reports_.push_back({rec->channel, rec->level, rec->line, rec->fmt ? rec->fmt : "",
				  rec->text ? rec->text : ""});
}

std::vector<report> report_capture::all() const
{
	std::lock_guard<std::mutex> guard(lock_);
	return reports_;
}

void report_capture::clear()
{
	std::lock_guard<std::mutex> guard(lock_);
	reports_.clear();
}

size_t report_capture::size() const
{
	std::lock_guard<std::mutex> guard(lock_);
	return reports_.size();
}

report report_capture::only() const
{
	std::lock_guard<std::mutex> guard(lock_);
	EXPECT_EQ(reports_.size(), 1u) << "expected exactly one report";
	return reports_.empty() ? report{} : reports_.back();
}

} // namespace syslib_test
