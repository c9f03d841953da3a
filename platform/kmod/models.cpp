// The command table of the stand-in module and board driver.
#include "models.h"

#include <cstring>
#include <iterator>

namespace tqsys {
namespace {

constexpr model models[] = {
	{TQSYS_DEV_CONTROL, 0x3001, 0x3001, 68, serve_filter},
	{TQSYS_DEV_BOARD, 0x5004, 0x5005, 0, serve_board},
};

} // namespace

const model *find_model(uint32_t device, unsigned long cmd)
{
	for (const model &m : models)
		if (m.device == device && cmd >= m.first && cmd <= m.last)
			return &m;
	return nullptr;
}

uint32_t get_word(const void *base, size_t offset)
{
	uint32_t v;
	std::memcpy(&v, static_cast<const unsigned char *>(base) + offset, sizeof v);
	return v;
}

void put_word(void *base, size_t offset, uint32_t value)
{
	std::memcpy(static_cast<unsigned char *>(base) + offset, &value, sizeof value);
}

} // namespace tqsys
