// Loss for the loss test where the kernel has no netem: a tc egress program that drops one
// packet in twenty at random. Built with clang -target bpf; no kernel headers needed.
static unsigned int (*get_prandom_u32)(void) = (void *)7;  // BPF_FUNC_get_prandom_u32

__attribute__((section("classifier"), used)) int drop_share(void *skb) {
  (void)skb;
  return get_prandom_u32() % 100 < 5 ? 2 /* TC_ACT_SHOT */ : 0 /* TC_ACT_OK */;
}

char drop_share_license[] __attribute__((section("license"), used)) = "GPL";
