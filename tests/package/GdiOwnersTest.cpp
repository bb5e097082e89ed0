#include <gtest/gtest.h>

#include <windows.h>

#include <utility>

#include "Win32/UniqueGdiMemoryDC.h"
#include "Win32/UniqueGdiObject.h"
#include "Win32/UniqueGdiSelection.h"
#include "Win32/UniqueGdiWindowDC.h"

namespace {

TEST(GdiOwners, ObjectAndMemoryContextAreDeletedOnceWhenTheLastOwnerGoes)
{
    HBRUSH brush = ::CreateSolidBrush(RGB(1, 2, 3));
    HDC context = ::CreateCompatibleDC(nullptr);
    ASSERT_NE(brush, nullptr);
    ASSERT_NE(context, nullptr);
    {
        win32::UniqueGdiObject<HBRUSH> first(brush);
        win32::UniqueGdiObject<HBRUSH> second(std::move(first));
        EXPECT_FALSE(first);
        win32::UniqueGdiMemoryDC memory(context);
        first.reset();  // owns nothing: deletes nothing
        EXPECT_EQ(::GetObjectType(brush), DWORD(OBJ_BRUSH));
        EXPECT_EQ(::GetObjectType(context), DWORD(OBJ_MEMDC));
    }
    EXPECT_EQ(::GetObjectType(brush), 0u);
    EXPECT_EQ(::GetObjectType(context), 0u);
}

TEST(GdiOwners, SelectionPutsThePreviousObjectBackSoTheBitmapCanBeDeleted)
{
    win32::UniqueGdiMemoryDC context(::CreateCompatibleDC(nullptr));
    win32::UniqueGdiObject<HBITMAP> bitmap(::CreateCompatibleBitmap(context.get(), 4, 4));
    ASSERT_TRUE(context);
    ASSERT_TRUE(bitmap);
    HGDIOBJ original = ::GetCurrentObject(context.get(), OBJ_BITMAP);
    {
        win32::UniqueGdiSelection selection(context.get(), bitmap.get());
        EXPECT_TRUE(selection);
        EXPECT_EQ(::GetCurrentObject(context.get(), OBJ_BITMAP), bitmap.get());
    }
    EXPECT_EQ(::GetCurrentObject(context.get(), OBJ_BITMAP), original);
    HBITMAP raw = bitmap.get();
    bitmap.reset();
    EXPECT_EQ(::GetObjectType(raw), 0u);
}

TEST(GdiOwners, FailedSelectionRestoresNothing)
{
    win32::UniqueGdiMemoryDC context(::CreateCompatibleDC(nullptr));
    ASSERT_TRUE(context);
    HGDIOBJ original = ::GetCurrentObject(context.get(), OBJ_BITMAP);
    {
        win32::UniqueGdiSelection selection(context.get(), nullptr);
        EXPECT_FALSE(selection);
    }
    EXPECT_EQ(::GetCurrentObject(context.get(), OBJ_BITMAP), original);
}

TEST(GdiOwners, WindowContextIsGivenBackAndMovesWithItsWindow)
{
    // The screen's context stands in for a window's: GetDC(null) and ReleaseDC(null, dc).
    win32::UniqueGdiWindowDC first(nullptr, ::GetDC(nullptr));
    ASSERT_TRUE(first);
    HDC context = first.get();
    win32::UniqueGdiWindowDC second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), context);
    second.reset();
    EXPECT_FALSE(second);
}

}  // namespace
