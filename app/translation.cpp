#include "app/translation.h"

void loadTranslation()
{
}
