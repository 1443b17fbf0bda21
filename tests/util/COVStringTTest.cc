// The narrow string's growth, comparison and slicing rules, which paths and registry texts rely on.
#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"
#include "util/COVStringT.h"

namespace ovts {
namespace {

// Catches: wrong block rounding (capacity must be 64, 128, ...) or a wrong length after Append.
TEST(COVStringT, GrowsInBlocksOf64) {
  COVStringT s;
  EXPECT_EQ(s.capacity(), 0u);
  EXPECT_STREQ(s.c_str(), "");
  s.Append("C:\\");
  EXPECT_EQ(s.capacity(), 64u);
  EXPECT_EQ(s.length(), 3u);
  COVStringT t;
  t.Append(std::string(100, 'x').c_str());
  EXPECT_EQ(t.capacity(), 128u) << "101 characters round up to 128";
  EXPECT_EQ(t.length(), 100u);
  EXPECT_EQ(t.Reserve(128), S_OK);
  EXPECT_EQ(t.capacity(), 128u);
  t.Append("");
  t.Append(nullptr);
  EXPECT_EQ(t.length(), 100u);
}

// Catches: comparison rules for empty and null texts and the case-insensitive default.
TEST(COVStringT, CompareRules) {
  COVStringT empty;
  EXPECT_EQ(empty.Compare(nullptr), 0);
  EXPECT_EQ(empty.Compare(""), 0);
  EXPECT_EQ(empty.Compare("a"), -1);
  COVStringT drive("C:\\");
  EXPECT_EQ(drive.Compare(nullptr), 1);
  EXPECT_EQ(drive.Compare("c:\\"), 0);
  EXPECT_LT(drive.Compare("D:\\"), 0);
  drive.SetCaseSensitive(true);
  EXPECT_EQ(drive.Compare("c:\\"), -1);
  EXPECT_EQ(drive.Compare("C:\\"), 0);
}

// Catches: off-by-one slicing at the end of the text.
TEST(COVStringT, MidSlices) {
  COVStringT ten("0123456789");
  EXPECT_STREQ(ten.Mid(2, COVStringT::kAll).c_str(), "23456789");
  EXPECT_STREQ(COVStringT("ab").Mid(0, 3).c_str(), "ab");
  EXPECT_TRUE(COVStringT("abcde").Mid(5, 1).empty());
  EXPECT_STREQ(ten.Mid(0, 3).c_str(), "012");
}

// Catches: assignment clearing its own source, and copies sharing storage.
TEST(COVStringT, AssignmentAndConcatenation) {
  COVStringT a("Software\\Orvanta");
  COVStringT b(a);
  b += "\\TShift";
  EXPECT_STREQ(a.c_str(), "Software\\Orvanta");
  EXPECT_STREQ(b.c_str(), "Software\\Orvanta\\TShift");
  const COVStringT& itself = a;
  a = itself;
  EXPECT_STREQ(a.c_str(), "Software\\Orvanta");
  a = a.c_str() + 9;  // text inside its own storage
  EXPECT_STREQ(a.c_str(), "Orvanta");
  EXPECT_EQ(a.length(), 7u);
  COVStringT c = a + COVStringT("!");
  EXPECT_STREQ(c.c_str(), "Orvanta!");
  a = "";
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.capacity(), 64u) << "capacity never shrinks";
}

// Catches: conversion of an empty string producing an allocation, or a lossy conversion.
TEST(COVStringT, ToBstr) {
  EXPECT_EQ(COVStringT().ToBstr(), nullptr);
  BSTR w = COVStringT("TShift.mpg").ToBstr();
  ASSERT_NE(w, nullptr);
  char* back = port::WideToNarrow(w);
  EXPECT_STREQ(back, "TShift.mpg");
  delete[] back;
  port::FreeString(w);
}

// Catches: the bounded copy writing past its destination.
TEST(COVStringT, BoundedCopy) {
  char dest[4] = {'x', 'x', 'x', 'x'};
  OVStrCopy(dest, sizeof dest, "abcdef", 10);
  EXPECT_STREQ(dest, "abc");
  OVStrCopy(dest, sizeof dest, "abcdef", 1);
  EXPECT_STREQ(dest, "a");
  OVStrCopy(dest, sizeof dest, nullptr, 3);
  EXPECT_STREQ(dest, "");
}

}  // namespace
}  // namespace ovts
