#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "record/TsFileSet.h"

namespace velmora::record {
namespace {

TEST(TsFileSetTest, OrdersByFoldedNameAndCountsMarksAcrossFiles) {
    CTsFileSet set;
    TS_FILE_ENTRY* b = set.AddFile("b.ts", 1000, 0);
    TS_FILE_ENTRY* a = set.AddFile("a.ts", 500, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(set.GetFirstFile(), a);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(a->startOffset, 0u);
    EXPECT_EQ(b->startOffset, 500u);
    EXPECT_EQ(a->handle, kClosedFileHandle);
    EXPECT_EQ(set.GetIncludedLength(), 1500);

    // An offset equal to a file's end belongs to that file.
    TS_CUT_MARK* exclude = set.AddCutMark(kCutExclude, 200);
    TS_CUT_MARK* include = set.AddCutMark(kCutInclude, 700);
    TS_CUT_MARK* atEnd = set.AddCutMark(kCutIncludeSplit, 500);
    ASSERT_NE(atEnd, nullptr);
    EXPECT_EQ(atEnd->entry, a);
    EXPECT_EQ(atEnd->position, 500);
    EXPECT_EQ(include->entry, b);
    EXPECT_EQ(include->position, 200);
    // Kind 2 counts as included: it reopens b.ts's first 200 bytes.
    EXPECT_EQ(set.GetIncludedLength(), 200 + 200 + 800);
    set.RemoveCutMark(atEnd);
    EXPECT_EQ(set.GetIncludedLength(), 1000);

    // Same position: the kind changes, nothing is inserted.
    EXPECT_EQ(set.AddCutMark(kCutInclude, 200), exclude);
    EXPECT_EQ(a->markCount, 1u);
    EXPECT_EQ(set.GetIncludedLength(), 1500);
    exclude->kind = kCutExclude;
    set.RecomputeIncludedLength();

    EXPECT_EQ(set.FindMarkBefore(699), exclude);
    EXPECT_EQ(set.FindMarkBefore(700), include);
    EXPECT_EQ(set.FindMarkBefore(199), nullptr);
    EXPECT_EQ(set.NextMark(exclude), include);
    EXPECT_EQ(set.PreviousMark(include), exclude);
    EXPECT_EQ(set.PreviousMark(exclude), nullptr);
    EXPECT_EQ(set.NextMark(include), nullptr);
    EXPECT_EQ(set.AddCutMark(kCutExclude, 1501), nullptr);

    // Re-adding in another case keeps one entry with the new size.
    EXPECT_EQ(set.AddFile("A.TS", 600, 4), a);
    EXPECT_EQ(set.GetFileCount(), 2u);
    EXPECT_EQ(a->dataOffset, 4u);
    EXPECT_EQ(b->startOffset, 600u);
    EXPECT_EQ(set.FindFile("B.ts"), b);

    set.RemoveAllCutMarks();
    EXPECT_EQ(set.GetIncludedLength(), 1600);
    b->userWord = 7;
    set.ClearUserWords();
    EXPECT_EQ(b->userWord, 0u);
}

TEST(TsFileSetTest, NextMarkOfNullSkipsFilesWithoutMarks) {
    CTsFileSet set;
    set.AddFile("1.ts", 100, 0);
    set.AddFile("2.ts", 100, 0);
    TS_CUT_MARK* mark = set.AddCutMark(kCutExclude, 150);
    EXPECT_EQ(set.NextMark(nullptr), mark);
    // The exclude state carries into the next file.
    set.AddFile("3.ts", 100, 0);
    EXPECT_EQ(set.GetIncludedLength(), 150);
}

TEST(TsFileSetTest, MendedEdges) {
    CTsFileSet set;
    // A name that does not fit the entry is refused.
    EXPECT_EQ(set.AddFile(std::string(260, 'x').c_str(), 10, 0), nullptr);
    ASSERT_NE(set.AddFile(std::string(259, 'x').c_str(), 10, 0), nullptr);
    set.RemoveAllFiles();

    // A shorter re-add leaves a mark past the end: it counts at the end.
    TS_FILE_ENTRY* a = set.AddFile("a.ts", 1000, 0);
    set.AddFile("b.ts", 100, 0);
    set.AddCutMark(kCutExclude, 900);
    set.AddCutMark(kCutInclude, 950);
    set.AddFile("a.ts", 400, 0);
    EXPECT_EQ(a->lastMark->position, 950);
    EXPECT_EQ(set.GetIncludedLength(), 400 + 100);

    // A source index outside the list does nothing.
    set.MoveFile(5, 0);
    set.MoveFile(-2, 0);
    EXPECT_EQ(set.GetFirstFile(), a);
}

TEST(TsFileSetTest, MoveFilePlacesBeforeTheTarget) {
    auto names = [](CTsFileSet& set) {
        std::string s;
        for (TS_FILE_ENTRY* e = set.GetFirstFile(); e != nullptr; e = e->next)
            s += e->name[0];
        return s;
    };
    CTsFileSet set;
    for (const char* n : {"a", "b", "c", "d"})
        set.AddFile(n, 10, 0);
    set.MoveFile(0, 2);
    EXPECT_EQ(names(set), "bacd");
    set.MoveFile(3, 0);
    EXPECT_EQ(names(set), "dbac");
    set.MoveFile(1, -1);
    EXPECT_EQ(names(set), "dacb");
    set.MoveFile(0, 9);  // past the end: before the last entry
    EXPECT_EQ(names(set), "acdb");
    set.MoveFile(3, -1);
    set.MoveFile(0, 0);
    set.MoveFile(2, 2);
    EXPECT_EQ(names(set), "acdb");
    EXPECT_EQ(set.GetLastFile()->startOffset, 30u);

    // An exclude mark at the end of "a" runs on into the file after it.
    set.AddCutMark(kCutExclude, 10);
    EXPECT_EQ(set.GetIncludedLength(), 10);
    set.MoveFile(0, -1);
    EXPECT_EQ(names(set), "cdba");
    EXPECT_EQ(set.GetIncludedLength(), 40);
}

// The included length against a byte-by-byte walk of the marks.
int64_t ModelIncluded(CTsFileSet& set) {
    int64_t included = 0;
    uint32_t state = kCutInclude;
    for (TS_FILE_ENTRY* e = set.GetFirstFile(); e != nullptr; e = e->next) {
        TS_CUT_MARK* mark = e->firstMark;
        for (int64_t byte = 0; byte < static_cast<int64_t>(e->size); ++byte) {
            while (mark != nullptr && mark->position <= byte) {
                state = mark->kind;
                mark = mark->next;
            }
            if (state != kCutExclude) ++included;
        }
        for (; mark != nullptr; mark = mark->next)
            state = mark->kind;
    }
    return included;
}

void CheckInvariants(CTsFileSet& set) {
    uint64_t total = 0;
    uint32_t count = 0;
    TS_FILE_ENTRY* previous = nullptr;
    for (TS_FILE_ENTRY* e = set.GetFirstFile(); e != nullptr; previous = e, e = e->next) {
        ASSERT_EQ(e->previous, previous);
        ASSERT_EQ(e->startOffset, total);
        total += e->size;
        ++count;
        uint32_t marks = 0;
        for (TS_CUT_MARK* m = e->firstMark; m != nullptr; m = m->next, ++marks) {
            ASSERT_EQ(m->entry, e);
            if (m->next != nullptr) {
                ASSERT_LT(m->position, m->next->position);
            }
        }
        ASSERT_EQ(marks, e->markCount);
    }
    ASSERT_EQ(set.GetLastFile(), previous);
    ASSERT_EQ(count, set.GetFileCount());
    ASSERT_EQ(total, set.GetTotalSize());
    ASSERT_EQ(set.GetIncludedLength(), ModelIncluded(set));
}

TEST(TsFileSetTest, RandomSequencesKeepInvariants) {
    std::mt19937 rng(20261207);
    CTsFileSet set;
    for (int round = 0; round < 4000; ++round) {
        const uint32_t op = rng() % 10;
        const std::string name =
            std::string(1, static_cast<char>("abcdeABCDE"[rng() % 10])) + ".ts";
        if (op < 3) {
            set.AddFile(name.c_str(), rng() % 300, 0);
        } else if (op == 3) {
            set.RemoveFileByName(name.c_str());
        } else if (op == 4) {
            const int32_t to = static_cast<int32_t>(rng() % 8) - 1;
            set.MoveFile(static_cast<int32_t>(rng() % 7), to);
            set.RecomputeIncludedLength();
        } else if (op < 8 && set.GetTotalSize() > 0) {
            set.AddCutMark(rng() % 3, rng() % (set.GetTotalSize() + 1));
        } else if (op == 8) {
            TS_CUT_MARK* mark = set.FindMarkBefore(rng() % (set.GetTotalSize() + 1));
            if (mark != nullptr) set.RemoveCutMark(mark);
        } else if (rng() % 20 == 0) {
            set.RemoveAllCutMarks();
        }
        CheckInvariants(set);
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace velmora::record
