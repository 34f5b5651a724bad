// Loss for the network tests where the kernel has no netem: a tc egress program that drops
// DROP_PER_MILLE packets in a thousand at random (5 % unless built with another share). Built
// with clang -target bpf; no kernel headers needed.
#ifndef DROP_PER_MILLE
#define DROP_PER_MILLE 50
#endif

static unsigned int (*get_prandom_u32)(void) = (void *)7;  // BPF_FUNC_get_prandom_u32

__attribute__((section("classifier"), used)) int drop_share(void *skb) {
  (void)skb;
  return get_prandom_u32() % 1000 < DROP_PER_MILLE ? 2 /* TC_ACT_SHOT */ : 0 /* TC_ACT_OK */;
}

char drop_share_license[] __attribute__((section("license"), used)) = "GPL";
