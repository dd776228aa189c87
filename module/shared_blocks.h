// The module's three shared blocks: the host's agent session block and the mail store
// parser's block, which it only reads, and the settings-reload block, which it creates to
// publish its reload entry to the other components of the process.
//
// Each block is process-local (see platform/named_blocks.h): only components of this process
// can find it. The attach steps fill the module state (session view and cell, parser
// address); the release undoes them, and touches only the handles and views this process
// acquired.
//
// Thread safety: the attach steps and the release run under the set-up lock of the
// lifecycle (or at module shutdown, with no request running); never two at once.
#ifndef MODULE_SHARED_BLOCKS_H_
#define MODULE_SHARED_BLOCKS_H_

namespace module {

inline constexpr const char* kSessionBlock = "$cvma_session4php";
inline constexpr const char* kParserBlock = "$mail_store_parser4php";
inline constexpr const char* kReloadBlock = "$settings_reloading_4cvwwwui";

// The function another component calls, through the reload block, with the OID of a
// setting that changed.
using ReloadEntry = void (*)(const char* oid);

// Maps the session block read-only and takes the session cell's address from word 0.
// True when the view is mapped.
bool AttachSessionBlock();
// Opens the mail store parser's block and takes the parser's address from word 0.
void AttachParserBlock();
// Creates the reload block (or opens the one there) and writes `entry` into word 0.
void AttachReloadBlock(ReloadEntry entry);
// Releases this process's handles and views of the session block, then the parser block,
// then the reload block. The addresses taken from the blocks become null.
void ReleaseSharedBlocks();

}  // namespace module

#endif  // MODULE_SHARED_BLOCKS_H_
