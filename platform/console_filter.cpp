// The console's output rules shared by both backends: what a text becomes
// where standard output goes, and the tee of everything written.
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/console_shared.h"

namespace plat {

namespace {

constexpr char kUpgradeMark = '\x18';

std::atomic<ConsoleTee> g_tee{nullptr};
std::atomic<bool> g_rewrite{false};
std::atomic<uint32_t> g_lastOutput{0};

bool names_utf8(const char* locale) {
  std::string folded;
  for (const char* c = locale; *c != '\0'; ++c) {
    if (*c != '-') folded += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  }
  return folded.find("utf8") != std::string::npos;
}

}  // namespace

std::string con_filter(std::string_view text, ConOutput to) {
  std::string out;
  out.reserve(text.size());
  const bool stream = to == ConOutput::Stream || to == ConOutput::CrLfStream;
  for (const char c : text) {
    if (c == kUpgradeMark && to != ConOutput::Console) {
      out += to == ConOutput::Utf8Terminal ? "\xE2\x86\x91" : "^";
    } else if (!stream) {
      out += c;
    } else if (c == '\n') {
      out += to == ConOutput::CrLfStream ? "\r\n" : "\n";
    } else if (c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != '\x7f')) {
      out += c;
    }
  }
  return out;
}

bool con_locale_is_utf8(const char* lc_all, const char* lc_ctype, const char* lang) {
  for (const char* locale : {lc_all, lc_ctype, lang}) {
    if (locale != nullptr && *locale != '\0') return names_utf8(locale);
  }
  return false;
}

void con_set_tee(ConsoleTee tee) { g_tee.store(tee); }

uint32_t con_last_output_ms() { return g_lastOutput.load(); }

void con_write(const char* text, std::size_t length, ConOutput to) {
  const std::string shown = con_filter(std::string_view(text, length), to);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  std::fflush(stdout);
  g_lastOutput.store(now_ms());
  const bool rewrite = g_rewrite.exchange(false);
  if (const ConsoleTee tee = g_tee.load()) {
    tee(text, length, rewrite ? ConTee::Rewrite : ConTee::Shown);
  }
}

std::string con_vformat(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.pop_back();
  return text;
}

void con_note(const char* format, ...) {
  const ConsoleTee tee = g_tee.load();
  if (tee == nullptr) return;
  va_list args;
  va_start(args, format);
  const std::string text = con_vformat(format, args);
  va_end(args);
  tee(text.data(), text.size(), ConTee::Note);
}

void con_note_cursor_moved() { g_rewrite.store(true); }

void con_say(Console& console, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = con_vformat(format, args);
  va_end(args);
  console.Print(text);
}

}  // namespace plat
