#include "zvr3base.h"

zvr3base::zvr3base()
    : QObject(nullptr)
{
}

zvr3base::~zvr3base() = default;
