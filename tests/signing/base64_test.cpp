#include "signing/base64.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

std::string Data(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 0x12345678u + static_cast<uint32_t>(n);
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 23);
  }
  return s;
}

// Hands out at most `step` bytes per read, as a pipe or a socket may.
class TrickleSource : public ByteSource {
 public:
  TrickleSource(const std::string& data, size_t step) : data_(data), step_(step) {}
  size_t Read(void* buffer, size_t max) override {
    size_t n = std::min({max, step_, data_.size() - pos_});
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }

 private:
  const std::string& data_;
  size_t step_;
  size_t pos_ = 0;
};

std::string Encode(ByteSource& source) {
  QByteArray out;
  ByteArraySink sink(out);
  MimeEncodeStream(source, sink);
  return out.toStdString();
}

std::string Encode(const std::string& data) {
  MemorySource source(data);
  return Encode(source);
}

std::string Decode(ByteSource& source) {
  QByteArray out;
  ByteArraySink sink(out);
  MimeDecodeStream(source, sink);
  return out.toStdString();
}

std::string Decode(const std::string& text) {
  MemorySource source(text);
  return Decode(source);
}

// Accepts only part of each write, as a full disk does.
class ShortWriteDevice : public QIODevice {
 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char*, qint64 len) override { return len > 1 ? len / 2 : len; }
};

}  // namespace

TEST(Base64, StreamsMatchPythonWithTheLineLayout) {
  // Around one block, and around the 64 blocks the encoder reads at a time.
  const size_t lengths[] = {0, 1, 2, 3, 48, 49, 2303, 2304, 2305, 4608, 65536, 147455, 147456, 147457, 149760, 294912};
  TempDir dir("b64");
  for (size_t n : lengths) WriteAll(dir.file(std::to_string(n) + ".bin"), Data(n));
  const std::string script =
      "import base64, sys\n"
      "d = sys.argv[1]\n"
      "for n in map(int, sys.argv[2:]):\n"
      "    t = base64.b64encode(open(f'{d}/{n}.bin', 'rb').read())\n"
      "    out = b'\\r\\n'.join(t[i:i + 64] for i in range(0, len(t), 64))\n"
      "    if n and n % 2304 == 0: out += b'\\r\\n'\n"
      "    open(f'{d}/{n}.b64', 'wb').write(out)\n";
  WriteAll(dir.file("layout.py"), script);
  std::string args;
  for (size_t n : lengths) args += " " + std::to_string(n);
  ASSERT_EQ(::Run("python3 '" + dir.file("layout.py") + "' '" + dir.path() + "'" + args), 0);

  for (size_t n : lengths) {
    SCOPED_TRACE(n);
    const std::string data = Data(n);
    const std::string expected = ReadText(dir.file(std::to_string(n) + ".b64"));
    EXPECT_EQ(Encode(data), expected);
    // The layout follows the total length, not the size of the reads.
    for (size_t step : {1u, 7u, 1000u, 2305u}) {
      TrickleSource trickle(data, step);
      EXPECT_EQ(Encode(trickle), expected) << "step " << step;
    }
    EXPECT_EQ(Base64EncodedLength(n) + (n && n % 2304 == 0 ? 2 : 0), expected.size());
    EXPECT_EQ(Decode(expected), data);
    TrickleSource text(expected, 3);  // groups of four straddle the reads
    EXPECT_EQ(Decode(text), data);
  }
}

TEST(Base64, BufferRoutinesWriteExactlyTheirCounts) {
  EXPECT_EQ(Encode("M"), "TQ==");
  EXPECT_EQ(Encode("Ma"), "TWE=");
  EXPECT_EQ(Encode("Man"), "TWFu");
  EXPECT_EQ(Base64EncodedLength(48), 64u);
  EXPECT_EQ(Base64EncodedLength(49), 70u);
  EXPECT_EQ(Base64EncodedLength(0), 0u);
  for (size_t n : {48u, 96u, 2304u}) {
    // Exact-size heap buffers: a read past the input shows under the sanitizer.
    std::string data = Data(n);
    std::vector<unsigned char> in(data.begin(), data.end());
    std::vector<char> out(n / 48 * 66 + 1, '#');
    Base64EncodeLines(in.data(), n, out.data());
    EXPECT_EQ(out.back(), '#');
    std::string text = Encode(data);
    if (n % 2304) text += "\r\n";
    EXPECT_EQ(std::string(out.data(), out.size() - 1), text);
  }
  char out[8] = "#######";
  Base64EncodeLines("short", 5, out);
  Base64EncodeRest("", 0, out);
  EXPECT_STREQ(out, "#######");
}

TEST(Base64, DecodingSkipsEverythingOutsideTheAlphabet) {
  struct Case {
    std::string text, bytes;
  } cases[] = {
      {"", ""},
      {"TWFu", "Man"},
      {"TW Fu\r\n", "Man"},
      {"TQ==", "M"},
      {"TWE=", "Ma"},
      {"TQ==TQ==", "\x4D\x04\xD0"},  // "=" does not end the text: T Q T Q
      {"T", ""},                     // a single character after the last group gives nothing
      {"TWFuT", "Man"},
      {std::string("\0T\xFFW-F_u!\x80", 10), "Man"},  // "-" and "_" are URL-safe letters, not ours
      {"T\r\nW\r\n\r\nF\nu==\r\n=", "Man"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.text), c.bytes) << c.text;

  // Breaks and padding scattered through a long text.
  const std::string data = Data(1000);
  std::string text = Encode(data), scattered;
  for (size_t i = 0; i < text.size(); ++i) {
    scattered += text[i];
    if (i % 5 == 0) scattered += "\n";
    if (i % 7 == 0) scattered += "=";
    if (i % 11 == 0) scattered += " \r";
  }
  EXPECT_EQ(Decode(scattered), data);
}

TEST(Base64, FailingDestinationsAreReportedNotPassedOver) {
  const std::string data = Data(10000);
  ShortWriteDevice shortWrites;
  shortWrites.open(QIODevice::WriteOnly);
  QIODeviceSink shortSink(shortWrites);
  MemorySource source(data);
  EXPECT_THROW(MimeEncodeStream(source, shortSink), EWriteError);

  TempDir dir("b64w");
  WriteAll(dir.file("ro"), "x");
  QFile readOnly(QString::fromStdString(dir.file("ro")));
  ASSERT_TRUE(readOnly.open(QIODevice::ReadOnly));
  QIODeviceSink roSink(readOnly);
  const std::string encoded = Encode(data);
  MemorySource text(encoded);
  EXPECT_THROW(MimeDecodeStream(text, roSink), EWriteError);

  QFile writeOnly(QString::fromStdString(dir.file("wo")));
  ASSERT_TRUE(writeOnly.open(QIODevice::WriteOnly));
  QIODeviceSource woSource(writeOnly);
  QByteArray out;
  ByteArraySink sink(out);
  EXPECT_THROW(MimeEncodeStream(woSource, sink), EReadError);
}

TEST(Base64, ADigestAndAFileAreFedTogether) {
  const std::string data = Data(5000);
  QCryptographicHash sha1(QCryptographicHash::Sha1);
  FunctionSink digest([&](const char* p, size_t n) { sha1.addData(QByteArrayView(p, static_cast<qsizetype>(n))); });
  TempDir dir("b64t");
  QFile file(QString::fromStdString(dir.file("out.b64")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  QIODeviceSink fileSink(file);
  TeeSink both(digest, fileSink);
  MemorySource source(data);
  MimeEncodeStream(source, both);
  file.close();
  const std::string written = ReadText(dir.file("out.b64"));
  EXPECT_EQ(written, Encode(data));
  EXPECT_EQ(sha1.result(), QCryptographicHash::hash(QByteArray::fromStdString(written), QCryptographicHash::Sha1));
}
