// Placeholder: a reader without a card, which answers nothing.
#include "sim/machine/CardReaderModel.h"

namespace vu::sim {

struct CardReaderModel::State {};

CardReaderModel::CardReaderModel() : m_state(std::make_unique<State>()) {}
CardReaderModel::~CardReaderModel() = default;

std::optional<std::vector<uint8_t>> CardReaderModel::HandleCommand(const uint8_t*, size_t) { return std::nullopt; }

void CardReaderModel::Reset() {}

} // namespace vu::sim
