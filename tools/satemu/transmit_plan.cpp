#include "transmit_plan.h"

#include "frame_codec.h"
#include "zlib_stream.h"

namespace satemu {

namespace {

void put_u32le(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

bool fault_replaces_answer(const FaultRule &f) {
  return f.kind == FaultKind::Busy || f.kind == FaultKind::Vanish || f.kind == FaultKind::Unplug ||
         f.kind == FaultKind::Reply || f.kind == FaultKind::SaleReply;
}

std::string fault_payload(const FaultRule &f, std::string_view session) {
  if (f.kind == FaultKind::Reply) return expand_session(f.text, session);
  if (f.kind != FaultKind::SaleReply) return {};
  std::string out = expand_session(f.text, session);
  std::string stream;
  switch (f.tail_kind) {
    case SaleTail::Empty:
      break;
    case SaleTail::Text:
      stream = zlib_compress(expand_session(f.tail, session));
      break;
    case SaleTail::Corrupt: {
      // A valid zlib header and a block whose deflate data is broken.
      stream = zlib_compress("conteudo que nao pode ser expandido|" + std::string(64, 'x'));
      for (std::size_t i = 2; i < stream.size() - 4; i += 3)
        stream[i] = static_cast<char>(stream[i] ^ 0x5A);
      break;
    }
    case SaleTail::Bomb:
      stream = zlib_compress(std::string(3 * 1024 * 1024, 'A'), 9);
      break;
  }
  put_u32le(out, static_cast<std::uint32_t>(stream.size()));
  out += stream;
  return out;
}

TransmitPlan plan_transmission(const std::optional<FaultRule> &fault, std::uint8_t sequence,
                               std::string_view payload, std::mt19937 &rng) {
  TransmitPlan plan;
  const std::string frame = encode_reply_frame(sequence, payload);
  if (!fault) {
    plan.steps.push_back({0, frame});
    return plan;
  }
  const FaultRule &f = *fault;
  switch (f.kind) {
    case FaultKind::NoReply:
      break;
    case FaultKind::Vanish:
      plan.vanish = true;
      break;
    case FaultKind::Unplug:
      plan.unplug_ms = f.ms;
      break;
    case FaultKind::Stall:
      plan.stall_ms = f.ms;
      break;
    case FaultKind::Delay:
      plan.steps.push_back({f.ms, frame});
      break;
    case FaultKind::BadSum: {
      ReplyFrameShape shape;
      shape.checksum_delta = 1;
      plan.steps.push_back({0, encode_reply_frame(sequence, payload, shape)});
      break;
    }
    case FaultKind::BadType: {
      ReplyFrameShape shape;
      shape.type = static_cast<std::uint8_t>(f.type_byte);
      plan.steps.push_back({0, encode_reply_frame(sequence, payload, shape)});
      break;
    }
    case FaultKind::Ack:
      plan.steps.push_back({0, std::string(1, static_cast<char>(kFrameAck))});
      break;
    case FaultKind::AckData:
      plan.steps.push_back({0, std::string(1, static_cast<char>(kFrameAck))});
      plan.steps.push_back({f.ms, frame});
      break;
    case FaultKind::AckGlued:
      plan.steps.push_back({0, std::string(1, static_cast<char>(kFrameAck)) + frame});
      break;
    case FaultKind::Split: {
      const std::size_t pieces =
          std::min<std::size_t>(static_cast<std::size_t>(f.pieces), frame.size());
      std::size_t from = 0;
      for (std::size_t i = 0; i < pieces; ++i) {
        const std::size_t to = frame.size() * (i + 1) / pieces;
        plan.steps.push_back({i == 0 ? 0 : f.ms, frame.substr(from, to - from)});
        from = to;
      }
      break;
    }
    case FaultKind::LongLen: {
      ReplyFrameShape shape;
      shape.declared_length =
          static_cast<std::uint32_t>(payload.size() + static_cast<std::size_t>(f.bytes));
      plan.steps.push_back({0, encode_reply_frame(sequence, payload, shape)});
      break;
    }
    case FaultKind::Huge: {
      // The answer, padded past what the library's 2 MiB buffers can hold.
      std::string big(payload);
      const std::size_t target = kFrameBufferSize + 4096;
      if (big.size() < target) big.append(target - big.size(), '#');
      plan.steps.push_back({0, encode_reply_frame(sequence, big)});
      break;
    }
    case FaultKind::Garbage: {
      std::string junk(static_cast<std::size_t>(f.bytes), '\0');
      std::uniform_int_distribution<int> dist(0, 255);
      for (auto &c : junk) c = static_cast<char>(dist(rng));
      // Never a frame type the library knows, so the outcome is predictable.
      const auto first = static_cast<std::uint8_t>(junk[0]);
      if (first == 0x01 || first == 0x06 || first == 0x11 || first == 0x15 || first == 0x16) {
        junk[0] = static_cast<char>(first ^ 0x80);
      }
      plan.steps.push_back({0, junk});
      break;
    }
    case FaultKind::Busy:
    case FaultKind::Reply:
    case FaultKind::SaleReply:
      plan.steps.push_back({0, frame});
      break;
  }
  return plan;
}

}  // namespace satemu
