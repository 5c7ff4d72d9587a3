#pragma once

// Installs the Chinese catalogue, or the English one on an English system.
void loadTranslation();
