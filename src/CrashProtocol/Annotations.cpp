#include "CrashProtocol/Annotations.h"

std::size_t AnnotationSlotsFor(std::uint32_t annotationCount)
{
    return ReadsClientAnnotations(annotationCount) ? std::size_t(annotationCount) + 1 : 1;
}

bool ReadsClientAnnotations(std::uint32_t annotationCount)
{
    return annotationCount > 0 && annotationCount <= kMaxAnnotationCount;
}

std::wstring ElapsedMillisecondsText(std::uint64_t elapsed100ns)
{
    return std::to_wstring(elapsed100ns / 10 / 1000);
}

void SetAnnotationText(wchar_t (&field)[kAnnotationTextUnits], const std::wstring& text)
{
    const std::size_t length =
        text.size() < kAnnotationTextUnits ? text.size() : kAnnotationTextUnits - 1;
    text.copy(field, length);
    field[length] = L'\0';
}
